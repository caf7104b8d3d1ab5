#include "update/install/temp_file_win.h"

#include <windows.h>
#include <io.h>

#include "base/fsutil.h"
#include "update/install/temp_file.h"
#include "win/error.h"
#include "win/handles.h"

namespace zt {
namespace {

// The names of the file open as `fd`, asked of its own handle: the C runtime's fstat may say 1 on
// any file system.
std::uint32_t HandleLinkCount(int fd) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  BY_HANDLE_FILE_INFORMATION info{};
  if (handle == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(handle, &info)) return 0;
  return info.nNumberOfLinks;
}

// Every writer of a program with this glue counts names on the handle it writes through.
[[maybe_unused]] const bool g_linkCounterSet = (SetLinkCounter(&HandleLinkCount), true);

}  // namespace

std::optional<std::string> TargetNamesProblem(const std::filesystem::path& target) {
  // Opened for its attributes only, sharing everything, never through a link at its name.
  const UniqueKernelHandle h(::CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h) return std::nullopt;  // nothing there (or nothing to open): the move decides
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h.get(), &info)) return LastErrorText("GetFileInformationByHandle");
  return ExtraNamesProblem(target, info.nNumberOfLinks);
}

bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& reason) {
  // The move replaces the name, never the file behind it; but a target with other names is not the
  // tool's own: another account put it there, and it stays until a person looks.
  if (auto problem = TargetNamesProblem(to)) {
    reason = *problem;
    return false;
  }
  // The files can be held for a moment: another transfer replacing the target at the same time,
  // or a virus scanner or indexer reading the new file. Those refusals pass; others are final.
  constexpr int kAttempts = 40;
  constexpr DWORD kPauseMs = 50;
  for (int attempt = 1;; ++attempt) {
    if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = ::GetLastError();
    const bool passing =
        error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
    if (!passing || attempt == kAttempts) {
      reason = ErrorText("MoveFileExW", error);
      return false;
    }
    ::Sleep(kPauseMs);
  }
}

}  // namespace zt
