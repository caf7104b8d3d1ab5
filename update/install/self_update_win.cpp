#include "update/install/self_update_win.h"

#include <ntsecapi.h>

#include <cstdio>
#include <mutex>
#include <optional>

#include "base/cmdline.h"
#include "base/descriptor_state.h"
#include "base/fsutil.h"
#include "base/history.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/thread.h"
#include "update/install/hand_over_record_win.h"
#include "update/trust/user_state_win.h"
#include "win/error.h"
#include "win/process.h"
#include "win/text.h"
#include "win/window_poster.h"

namespace zt {
namespace {

// A file Windows still maps for a process that has just ended may refuse a removal for a moment.
constexpr int kRemoveAttempts = 40;

std::mutex g_pendingMutex;
std::optional<WindowsReplacementStart> g_pending;

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

// 128 random bits in hex: the confirmation event's name cannot be guessed ahead of its creation.
std::optional<std::string> RandomToken(std::string& reason) {
  unsigned char bytes[kReplacedTokenLength / 2];
  if (!::RtlGenRandom(bytes, sizeof bytes)) {
    reason = LastErrorText("RtlGenRandom");
    return std::nullopt;
  }
  std::string token;
  for (const unsigned char b : bytes) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", b);
    token += hex;
  }
  return token;
}

}  // namespace

void HandleSwap::Ready(std::string version, const std::filesystem::path& exe, HeldFile held) {
  std::lock_guard lock(g_pendingMutex);
  g_pending.emplace(std::move(version), exe, std::move(held));
  // Started now: it loads while this window goes, and takes over the single-instance marker the
  // moment this one gives it up. A failure is told when the wait for its confirmation comes.
  std::string detail;
  g_pending->Launch(detail);
}

WindowsReplacementStart::WindowsReplacementStart(std::string version, std::filesystem::path exe, HeldFile held,
                                                 std::string token)
    : m_version(std::move(version)),
      m_exe(std::move(exe)),
      m_placed(NewExecutablePath(m_exe)),
      m_held(std::move(held)),
      m_token(std::move(token)) {}

bool WindowsReplacementStart::Launch(std::string& detail) {
  if (m_launched) {
    detail = m_launchProblem;
    return m_process && m_confirmed;
  }
  m_launched = true;
  const auto fail = [&](std::string why) {
    m_launchProblem = detail = std::move(why);
    return false;
  };
  if (m_token.empty()) {
    auto token = RandomToken(detail);
    if (!token) return fail(detail);
    m_token = *token;
  }
  // The event exists before the new process does; one that exists already was made by someone else,
  // who could confirm for a version that never came up.
  ::SetLastError(ERROR_SUCCESS);
  m_confirmed.reset(::CreateEventW(nullptr, TRUE, FALSE, ConfirmationEventName(m_token).c_str()));
  const DWORD eventError = ::GetLastError();
  if (!m_confirmed) return fail(ErrorText("CreateEventW", eventError));
  if (eventError == ERROR_ALREADY_EXISTS) {
    m_confirmed.reset();
    return fail("its confirmation event exists already: another program made it");
  }
  const ReplacedStart start{static_cast<std::uint32_t>(::GetCurrentProcessId()), m_token};
  PROCESS_INFORMATION pi{};
  // Suspended until the record names it: a power cut from its first instruction on leaves a record
  // that says it was started.
  if (!StartHidden(m_placed, ReplacedStartArguments(start), CREATE_SUSPENDED, pi, detail)) return fail(detail);
  m_process.reset(pi.hProcess);
  UniqueKernelHandle thread(pi.hThread);
  // Its image is mapped now: the file is as it was checked while the process lives.
  m_held = HeldFile{};
  std::string reason;
  const ReplacementRecord record{m_version,
                                 m_exe,
                                 start.previousProcess,
                                 static_cast<std::uint32_t>(pi.dwProcessId),
                                 TheDescriptorState().LastLocalRead(),
                                 HandOverStage::Started};
  if (!WriteHandOverRecord(record, reason))
    LogEvent(kSelfUpdateEvent,
             "no record of the hand-over (" + reason + "): a power cut now would not remember the version");
  ::ResumeThread(thread.get());
  LogEvent(kSelfUpdateEvent, "started " + PathToUtf8(m_placed) + " " + kAutoHideSwitch + " " + kReplacedSwitch + " " +
                                 std::to_string(start.previousProcess) + " as process " +
                                 std::to_string(pi.dwProcessId));
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
      return status == kUnfitExitStatus ? StartOutcome::Unfit : StartOutcome::Ended;
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

bool WindowsReplacementStart::RemoveNew(std::string& reason) {
  m_held = HeldFile{};
  if (!RemoveWithRetries(m_placed, kRemoveAttempts, reason)) return false;
  RemoveHandOverRecord();
  return true;
}

bool WindowsReplacementStart::StartOld(const std::filesystem::path& file, std::string& reason) {
  PROCESS_INFORMATION pi{};
  if (!StartHidden(file, kAutoHideSwitch, 0, pi, reason)) return false;
  UniqueKernelHandle process(pi.hProcess), thread(pi.hThread);
  LogEvent(kSelfUpdateEvent, "started " + PathToUtf8(file) + " " + kAutoHideSwitch);
  return true;
}

namespace {

std::optional<WindowsReplacementStart> TakePending() {
  std::optional<WindowsReplacementStart> pending;
  std::lock_guard lock(g_pendingMutex);
  pending.swap(g_pending);
  return pending;
}

void Finish(WindowsReplacementStart& start) {
  const StartOutcome outcome = FinishReplacement(start, TheUserState(), start.Exe(), start.Version());
  RecordOutcome(ReplacementOutcome(outcome, kAppVersion, start.Version()));
}

}  // namespace

bool FinishPendingReplacementThen(UINT message) {
  auto pending = TakePending();
  if (!pending) return false;
  auto shared = std::make_shared<WindowsReplacementStart>(std::move(*pending));
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

}  // namespace zt
