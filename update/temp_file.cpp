#include "update/temp_file.h"

#include <atomic>
#include <system_error>

#include "base/fsutil.h"
#include "base/paths.h"

namespace zt {
namespace {

std::atomic<std::uint32_t> g_tempToken{0};
std::atomic<std::uint64_t> g_tempCounter{0};

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

TempFile::TempFile(const std::filesystem::path& folder, std::string_view name) : m_path(UniqueTempPath(folder, name)) {}

TempFile::~TempFile() {
  if (m_committed) return;
  if (m_out.is_open()) m_out.close();
  std::error_code ec;
  std::filesystem::remove(m_path, ec);
}

bool TempFile::Open() {
  m_out.open(m_path, std::ios::binary | std::ios::trunc);
  return m_out.is_open();
}

bool TempFile::Write(std::string_view bytes) {
  return m_out.is_open() && m_out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool TempFile::CopyFrom(const std::filesystem::path& source, std::string& reason) {
  std::error_code ec;
  std::filesystem::copy_file(source, m_path, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) reason = "copy " + PathToUtf8(source) + ": " + ec.message();
  return !ec;
}

bool TempFile::CommitTo(const std::filesystem::path& target, const ReplaceFileFn& replace, std::string& reason) {
  if (m_out.is_open()) {
    m_out.close();
    if (!m_out) {
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
