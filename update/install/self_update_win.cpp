#include "update/install/self_update_win.h"

#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "base/fsutil.h"
#include "base/history.h"
#include "base/log.h"
#include "base/thread.h"
#include "base/paths.h"
#include "update/trust/user_state_win.h"
#include "update/trust/crypto_win.h"
#include "win/error.h"
#include "win/text.h"
#include "win/window_poster.h"

namespace zt {
namespace {

constexpr char kEvent[] = "self-update";
// A file Windows still maps for a process that has just ended may refuse a move for a moment.
constexpr int kMoveAttempts = 40;
constexpr DWORD kMovePauseMs = 250;

struct PendingReplacement {
  std::string version;
  WindowsReplacementStart start;
};
std::mutex g_pendingMutex;
std::optional<PendingReplacement> g_pending;

std::filesystem::path FailedExecutablePath(const std::filesystem::path& exe) {
  std::filesystem::path p = exe;
  p += ".ztfailed";
  return p;
}

// Renames the file behind `handle` to `target`, which must not exist.
bool RenameThroughHandle(HANDLE handle, const std::filesystem::path& target, std::string& reason) {
  // The name goes to the kernel as it stands: in its own (NT) form.
  const std::wstring name = L"\\??\\" + target.wstring();
  std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, name.data(), info->FileNameLength);
  if (::SetFileInformationByHandle(handle, FileRenameInfo, info, static_cast<DWORD>(buffer.size()))) return true;
  reason = LastErrorText("SetFileInformationByHandle(FileRenameInfo)");
  return false;
}

bool MoveWithRetries(const std::filesystem::path& from, const std::filesystem::path& to, DWORD flags,
                     std::string& reason) {
  for (int attempt = 1;; ++attempt) {
    if (::MoveFileExW(from.c_str(), to.c_str(), flags)) return true;
    const DWORD error = ::GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt == kMoveAttempts) {
      reason = ErrorText("MoveFileExW " + PathToUtf8(from) + " -> " + PathToUtf8(to), error);
      return false;
    }
    ::Sleep(kMovePauseMs);
  }
}

bool StartHidden(const std::filesystem::path& exe, std::string_view arguments, DWORD flags, PROCESS_INFORMATION& pi,
                 std::string& reason) {
  std::wstring commandLine = L"\"" + exe.wstring() + L"\" " + Widen(arguments);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  if (::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si, &pi))
    return true;
  reason = LastErrorText("CreateProcessW " + PathToUtf8(exe));
  return false;
}

}  // namespace

std::wstring ConfirmationEventName(DWORD processId) { return L"ZT_AutoUpdate.Replaced." + std::to_wstring(processId); }

bool HandleSwap::SwapIn(HeldFile& held, const std::filesystem::path& exe, const std::filesystem::path& old,
                        std::string& reason) {
  m_exe = exe;
  if (!::MoveFileExW(exe.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    reason = LastErrorText("MoveFileExW " + PathToUtf8(exe) + " aside");
    return false;
  }
  if (RenameThroughHandle(HeldHandle(held), exe, reason)) return true;
  if (!::MoveFileExW(old.c_str(), exe.c_str(), 0)) reason += "; " + LastErrorText("MoveFileExW back");
  return false;
}

void HandleSwap::Ready(std::string version, HeldFile held) {
  std::lock_guard lock(g_pendingMutex);
  g_pending.emplace(PendingReplacement{std::move(version), WindowsReplacementStart(m_exe, std::move(held))});
  // Started now: it loads while this window goes, and takes over the single-instance marker the
  // moment this one gives it up. A failure is told when the wait for its confirmation comes.
  std::string detail;
  g_pending->start.Launch(detail);
}

bool WindowsReplacementStart::Launch(std::string& detail) {
  if (m_launched) {
    detail = m_launchProblem;
    return m_process && m_confirmed;
  }
  m_launched = true;
  PROCESS_INFORMATION pi{};
  // Suspended until the event it is to set exists.
  if (!StartHidden(m_exe, std::string(kAutoHideSwitch) + " " + kReplacedSwitch, CREATE_SUSPENDED, pi, detail)) {
    m_launchProblem = detail;
    return false;
  }
  m_process.reset(pi.hProcess);
  UniqueKernelHandle thread(pi.hThread);
  // Its image is mapped now: the file is as it was checked while the process lives.
  m_held = HeldFile{};
  m_confirmed.reset(::CreateEventW(nullptr, TRUE, FALSE, ConfirmationEventName(pi.dwProcessId).c_str()));
  if (!m_confirmed) {
    m_launchProblem = detail = LastErrorText("CreateEventW");
    return false;  // the suspended process is ended with the rest
  }
  ::ResumeThread(thread.get());
  LogEvent(kEvent, "started " + PathToUtf8(m_exe) + " " + kAutoHideSwitch + " " + kReplacedSwitch);
  return true;
}

StartOutcome WindowsReplacementStart::StartNew(std::chrono::milliseconds wait, std::string& detail) {
  if (!Launch(detail)) return StartOutcome::CouldNotStart;
  const HANDLE waits[] = {m_confirmed.get(), m_process.get()};
  switch (::WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(wait.count()))) {
    case WAIT_OBJECT_0:
      return StartOutcome::Confirmed;
    case WAIT_OBJECT_0 + 1: {
      DWORD status = 0;
      ::GetExitCodeProcess(m_process.get(), &status);
      char text[32];
      std::snprintf(text, sizeof text, "exit status 0x%08lX", static_cast<unsigned long>(status));
      detail = text;
      return StartOutcome::Ended;
    }
    default:
      return StartOutcome::NotConfirmed;
  }
}

void WindowsReplacementStart::EndNew() {
  if (!m_process) return;
  ::TerminateProcess(m_process.get(), 1);
  ::WaitForSingleObject(m_process.get(), 10000);
  m_process.reset();
}

bool WindowsReplacementStart::PutBackOld(std::string& reason) {
  m_held = HeldFile{};
  const std::filesystem::path failed = FailedExecutablePath(m_exe);
  // Renamed first: Windows lets a file that is still mapped be renamed, not replaced.
  if (!MoveWithRetries(m_exe, failed, MOVEFILE_REPLACE_EXISTING, reason) ||
      !MoveWithRetries(OldExecutablePath(m_exe), m_exe, 0, reason))
    return false;
  std::error_code ec;
  std::filesystem::remove(failed, ec);  // else at the next start
  return true;
}

bool WindowsReplacementStart::StartOld(const std::filesystem::path& file, std::string& reason) {
  PROCESS_INFORMATION pi{};
  if (!StartHidden(file, kAutoHideSwitch, 0, pi, reason)) return false;
  UniqueKernelHandle process(pi.hProcess), thread(pi.hThread);
  LogEvent(kEvent, "started " + PathToUtf8(file) + " " + kAutoHideSwitch);
  return true;
}

namespace {

std::optional<PendingReplacement> TakePending() {
  std::optional<PendingReplacement> pending;
  std::lock_guard lock(g_pendingMutex);
  pending.swap(g_pending);
  return pending;
}

void Finish(PendingReplacement& pending) {
  const StartOutcome outcome = FinishReplacement(pending.start, TheUserState(), pending.start.Exe(), pending.version);
  RecordOutcome(ReplacementOutcome(outcome, kAppVersion, pending.version));
}

}  // namespace

bool FinishPendingReplacementThen(UINT message) {
  auto pending = TakePending();
  if (!pending) return false;
  auto shared = std::make_shared<PendingReplacement>(std::move(*pending));
  const bool started = StartDetached("self-update", [message, shared] {
    struct PostAtEnd {
      UINT message;
      ~PostAtEnd() { PostToMainWindow(message); }
    } post{message};
    Finish(*shared);
  });
  if (started) return true;
  // No thread: the main thread waits once the window has ended.
  std::lock_guard lock(g_pendingMutex);
  g_pending.emplace(std::move(*shared));
  return false;
}

void CompletePendingReplacement() {
  if (auto pending = TakePending()) Finish(*pending);
}

void ConfirmStarted() {
  UniqueKernelHandle event(
      ::OpenEventW(EVENT_MODIFY_STATE, FALSE, ConfirmationEventName(::GetCurrentProcessId()).c_str()));
  if (event) ::SetEvent(event.get());
}

void RemoveReplacedExecutable(const std::filesystem::path& exe) {
  for (const auto& left : {OldExecutablePath(exe), FailedExecutablePath(exe)}) {
    std::error_code ec;
    if (std::filesystem::remove(left, ec)) LogEvent(kEvent, "removed " + PathToUtf8(left));
  }
}

}  // namespace zt
