#include "update/install/temp_file.h"

#include <atomic>
#include <cerrno>
#include <memory>
#include <system_error>
#include <vector>
#if defined(_WIN32)
#include <io.h>  // _commit: the C runtime's own header, not a Windows one
#else
#include <unistd.h>
#endif

#include "base/fsutil.h"
#include "base/paths.h"

namespace zt {
namespace {

std::atomic<std::uint32_t> g_tempToken{0};
std::atomic<std::uint64_t> g_tempCounter{0};

enum class OpenFor { Reading, Writing, Appending };

// A C stream on `path`: wide on Windows, where the narrow name would go through the ANSI code page.
std::FILE* OpenStream(const std::filesystem::path& path, OpenFor how) {
#if defined(_WIN32)
  static constexpr const wchar_t* kModes[] = {L"rb", L"wb", L"ab"};
  return ::_wfopen(path.c_str(), kModes[static_cast<int>(how)]);
#else
  static constexpr const char* kModes[] = {"rb", "wb", "ab"};
  return std::fopen(path.c_str(), kModes[static_cast<int>(how)]);
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

void SetTempToken(std::uint32_t token) { g_tempToken = token; }

std::filesystem::path UniqueTempPath(const std::filesystem::path& folder, std::string_view name) {
  std::string leaf(name);
  leaf += '.';
  leaf += std::to_string(g_tempToken.load());
  leaf += '-';
  leaf += std::to_string(++g_tempCounter);
  leaf += kTempSuffix;
  return folder / PathFromUtf8(leaf);
}

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

bool FileWriter::Open(const std::filesystem::path& path, bool append) {
  if (m_file != nullptr) std::fclose(m_file);
  m_file = OpenStream(path, append ? OpenFor::Appending : OpenFor::Writing);
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

bool TempFile::Open() { return m_out.Open(m_path); }

bool TempFile::Write(std::string_view bytes) { return m_out.Write(bytes); }

bool TempFile::CopyFrom(const std::filesystem::path& source, std::string& reason) {
  const std::unique_ptr<std::FILE, CloseStream> in(OpenStream(source, OpenFor::Reading));
  if (!in) {
    reason = "copy " + PathToUtf8(source) + ": " + std::generic_category().message(errno);
    return false;
  }
  if (!m_out.Open(m_path)) {
    reason = "copy " + PathToUtf8(source) + ": cannot create " + PathToUtf8(m_path);
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
