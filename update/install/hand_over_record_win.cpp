#include "update/install/hand_over_record_win.h"

#include <windows.h>

#include <cwchar>
#include <mutex>

#include "base/fsutil.h"
#include "base/paths.h"
#include "update/install/temp_file_win.h"
#include "win/error.h"
#include "win/text.h"

namespace zt {
namespace {

// A file Windows still maps for a process that has just ended may refuse a removal for a moment.
constexpr DWORD kRemovePauseMs = 250;

std::mutex g_recordMutex;
std::filesystem::path g_recordPath;

std::filesystem::path RecordPath() {
  std::lock_guard lock(g_recordMutex);
  return g_recordPath;
}

}  // namespace

void SetReplacementRecordPath(const std::filesystem::path& file) {
  std::lock_guard lock(g_recordMutex);
  g_recordPath = file;
}

std::wstring ConfirmationEventName(std::string_view suffix) {
  return Widen(std::string(kConfirmationEventPrefix)) + Widen(suffix);
}

bool SamePath(const std::filesystem::path& a, const std::filesystem::path& b) {
  return ::_wcsicmp(a.c_str(), b.c_str()) == 0;
}

bool RemoveWithRetries(const std::filesystem::path& file, int attempts, std::string& reason) {
  for (int attempt = 1;; ++attempt) {
    if (::DeleteFileW(file.c_str())) return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt >= attempts) {
      reason = ErrorText("DeleteFileW " + PathToUtf8(file), error);
      return false;
    }
    ::Sleep(kRemovePauseMs);
  }
}

bool WriteHandOverRecord(const ReplacementRecord& record, std::string& reason) {
  const std::filesystem::path file = RecordPath();
  if (file.empty()) {
    reason = "no folder of this user's own";
    return false;
  }
  std::lock_guard lock(g_recordMutex);
  return WriteReplacementRecord(file, record, MoveReplacing, reason);
}

// The record, when there is one of the process `newProcess` (0: of any).
std::optional<ReplacementRecord> HandOverRecordOf(std::uint32_t newProcess) {
  const std::filesystem::path file = RecordPath();
  if (file.empty()) return std::nullopt;
  auto record = ReadReplacementRecord(file);
  if (record && newProcess != 0 && record->newProcess != newProcess) return std::nullopt;
  return record;
}

void RemoveHandOverRecord() {
  const std::filesystem::path file = RecordPath();
  if (!file.empty()) RemoveQuietly(file);
}

}  // namespace zt
