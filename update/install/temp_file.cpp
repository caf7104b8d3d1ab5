#include "update/install/temp_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <random>
#include <system_error>
#include <vector>
#if defined(_WIN32)
#include <io.h>  // _commit, _wopen: the C runtime's own header, not a Windows one
#else
#include <unistd.h>
#endif

#include "base/fsutil.h"
#include "base/paths.h"

namespace zt {
namespace {

std::uint32_t StatLinkCount(int fd) {
#if defined(_WIN32)
  struct _stat64 st {};
  if (::_fstat64(fd, &st) != 0) return 0;
#else
  struct stat st {};
  if (::fstat(fd, &st) != 0) return 0;
#endif
  return static_cast<std::uint32_t>(st.st_nlink);
}

std::atomic<LinkCounter> g_linkCounter{&StatLinkCount};

// A C stream on a new file (none of that name may exist), or at the end of an existing one. The
// file is opened by descriptor first, so that "new" is the system's own check and the descriptor's
// file can be asked for its names before anything is written. Wide on Windows, where the narrow
// name would go through the ANSI code page.
std::FILE* OpenForWriting(const std::filesystem::path& path, bool append, std::string& problem) {
#if defined(_WIN32)
  const int fd = append ? ::_wopen(path.c_str(), _O_WRONLY | _O_APPEND | _O_BINARY)
                        : ::_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  const auto closeFd = ::_close;
  const auto streamOf = ::_fdopen;
#else
  const int fd = append ? ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW)
                        : ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  const auto closeFd = ::close;
  const auto streamOf = ::fdopen;
#endif
  if (fd < 0) {
    problem = PathToUtf8(path) + ": " + std::generic_category().message(errno);
    return nullptr;
  }
  if (append) {
    if (auto extra = ExtraNamesProblem(path, g_linkCounter.load()(fd))) {
      problem = *extra;
      closeFd(fd);
      return nullptr;
    }
  }
  std::FILE* stream = streamOf(fd, append ? "ab" : "wb");
  if (stream == nullptr) {
    problem = PathToUtf8(path) + ": no stream";
    closeFd(fd);
  }
  return stream;
}

// A C stream on `path` to read.
std::FILE* OpenForReading(const std::filesystem::path& path) {
#if defined(_WIN32)
  return ::_wfopen(path.c_str(), L"rb");
#else
  return std::fopen(path.c_str(), "rb");
#endif
}

struct CloseStream {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

bool RenameReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& reason) {
  std::error_code ec;
  std::filesystem::rename(from, to, ec);
  if (ec) reason = ec.message();
  return !ec;
}

std::filesystem::path UniqueTempPath(const std::filesystem::path& folder, std::string_view name) {
  // The system's source of randomness (rand_s on Windows): a process id and a counter, as before,
  // let another account make the name first.
  std::random_device random;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string leaf(name);
  leaf += '.';
  for (int word = 0; word < 2; ++word) {
    const std::uint32_t bits = random();
    for (int shift = 28; shift >= 0; shift -= 4) leaf += kDigits[(bits >> shift) & 15];
  }
  leaf += kTempSuffix;
  return folder / PathFromUtf8(leaf);
}

std::optional<std::string> ExtraNamesProblem(const std::filesystem::path& file, std::uint32_t links) {
  if (links == 1) return std::nullopt;
  if (links == 0) return "the names of " + PathToUtf8(file) + " cannot be counted: it is not written";
  return PathToUtf8(file) + " has " + std::to_string(links) +
         " names (hard links): it is not written, another name may lead to another account's or this user's file";
}

void SetLinkCounter(LinkCounter count) { g_linkCounter = count ? count : &StatLinkCount; }

int RemoveStaleFiles(const std::filesystem::path& folder, std::chrono::hours maxAge,
                     const std::function<bool(std::string_view leaf)>& ours) {
  int removed = 0;
  std::error_code ec;
  std::filesystem::directory_iterator it(folder, ec);
  if (ec) return 0;
  const auto now = std::filesystem::file_time_type::clock::now();
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (!ours(PathToUtf8(it->path().filename()))) continue;
    std::error_code fe;
    if (!it->is_regular_file(fe) || fe) continue;
    const auto written = it->last_write_time(fe);
    if (fe || now - written < maxAge) continue;
    if (std::filesystem::remove(it->path(), fe) && !fe) ++removed;
  }
  return removed;
}

void RemoveQuietly(const std::filesystem::path& file) {
  std::error_code ec;
  std::filesystem::remove(file, ec);
}

int RemoveStaleTempFiles(const std::filesystem::path& folder, std::chrono::hours maxAge) {
  return RemoveStaleFiles(folder, maxAge, [](std::string_view leaf) {
    return leaf.size() > std::string_view(kTempSuffix).size() && leaf.ends_with(kTempSuffix);
  });
}

FileWriter::~FileWriter() {
  if (m_file != nullptr) std::fclose(m_file);
}

bool FileWriter::Create(const std::filesystem::path& path) { return Open(path, false); }

bool FileWriter::Append(const std::filesystem::path& path) { return Open(path, true); }

bool FileWriter::Open(const std::filesystem::path& path, bool append) {
  if (m_file != nullptr) std::fclose(m_file);
  m_problem.clear();
  m_file = OpenForWriting(path, append, m_problem);
  m_failed = m_file == nullptr;
  return !m_failed;
}

bool FileWriter::Write(std::string_view bytes) {
  if (m_file == nullptr || m_failed) return false;
  if (std::fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size()) m_failed = true;
  return !m_failed;
}

// The data reach the disk before the file is moved over its target, so that a power cut right
// after a commit can never leave a target of the right length full of zeros. Through the stream's
// own handle: on Windows _commit is FlushFileBuffers on it.
bool FileWriter::Sync() {
  if (m_file == nullptr || m_failed) return false;
#if defined(_WIN32)
  m_failed = std::fflush(m_file) != 0 || ::_commit(::_fileno(m_file)) != 0;
#else
  m_failed = std::fflush(m_file) != 0 || ::fsync(::fileno(m_file)) != 0;
#endif
  return !m_failed;
}

bool FileWriter::Close() {
  if (m_file == nullptr) return !m_failed;
  const bool closed = std::fclose(m_file) == 0;
  m_file = nullptr;
  return closed && !m_failed;
}

TempFile::TempFile(const std::filesystem::path& folder, std::string_view name) : m_path(UniqueTempPath(folder, name)) {}

TempFile::~TempFile() {
  if (m_committed) return;
  m_out.Close();
  std::error_code ec;
  std::filesystem::remove(m_path, ec);
}

bool TempFile::Open() { return m_out.Create(m_path); }

bool TempFile::Write(std::string_view bytes) { return m_out.Write(bytes); }

bool TempFile::CopyFrom(const std::filesystem::path& source, std::string& reason) {
  const std::unique_ptr<std::FILE, CloseStream> in(OpenForReading(source));
  if (!in) {
    reason = "copy " + PathToUtf8(source) + ": " + std::generic_category().message(errno);
    return false;
  }
  if (!m_out.Create(m_path)) {
    reason = "copy " + PathToUtf8(source) + ": cannot create " + m_out.Problem();
    return false;
  }
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in.get());
    if (!m_out.Write({buffer.data(), n})) {
      reason = "copy " + PathToUtf8(source) + ": cannot write " + PathToUtf8(m_path);
      return false;
    }
    if (n < buffer.size()) break;
  }
  if (std::ferror(in.get())) {
    reason = "copy " + PathToUtf8(source) + ": cannot read it";
    return false;
  }
  return true;
}

bool TempFile::CommitTo(const std::filesystem::path& target, const ReplaceFileFn& replace, std::string& reason) {
  if (m_out.IsOpen()) {
    const bool synced = m_out.Sync();
    if (!m_out.Close() || !synced) {
      reason = "cannot write " + PathToUtf8(m_path);
      return false;
    }
  }
  std::string why;
  m_committed = replace ? replace(m_path, target, why) : RenameReplacing(m_path, target, why);
  if (!m_committed) reason = "cannot replace " + PathToUtf8(target) + ": " + why;
  return m_committed;
}

bool CopyReplacing(const std::filesystem::path& from, const std::filesystem::path& to, const ReplaceFileFn& replace,
                   std::string& reason) {
  TempFile temp(to.parent_path(), PathToUtf8(to.filename()));
  return temp.CopyFrom(from, reason) && temp.CommitTo(to, replace, reason);
}

}  // namespace zt
