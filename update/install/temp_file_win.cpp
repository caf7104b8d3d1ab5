#include "update/install/temp_file_win.h"

#include <windows.h>

#include "win/error.h"

namespace zt {

bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& reason) {
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
