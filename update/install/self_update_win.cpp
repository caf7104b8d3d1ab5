#include "update/install/self_update_win.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <ntsecapi.h>

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <optional>
#include <thread>

#include "base/cmdline.h"
#include "base/descriptor_state.h"
#include "base/fsutil.h"
#include "base/history.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/thread.h"
#include "update/install/temp_file_win.h"
#include "update/net/server_setting.h"
#include "update/trust/user_state_win.h"
#include "win/error.h"
#include "win/process.h"
#include "win/text.h"
#include "win/window_poster.h"

namespace zt {
namespace {

constexpr char kEvent[] = "self-update";
// A file Windows still maps for a process that has just ended may refuse a removal for a moment; at
// start-up a file that is held (a scanner) is left for the next start rather than hold up this one.
constexpr int kRemoveAttempts = 40;
constexpr int kRemoveAttemptsAtStart = 4;
constexpr DWORD kRemovePauseMs = 250;
// The new version's move over the executable is looked at on a timer (ui/replacement_win.cpp):
// this many failed moves (a scanner holding the executable lets go within moments) and it gives up.
constexpr int kTakeOverAttempts = 40;

struct PendingReplacement {
  WindowsReplacementStart start;
};
std::mutex g_pendingMutex;
std::optional<PendingReplacement> g_pending;

std::mutex g_recordMutex;
std::filesystem::path g_recordPath;

std::filesystem::path RecordPath() {
  std::lock_guard lock(g_recordMutex);
  return g_recordPath;
}

std::filesystem::path FailedExecutablePath(const std::filesystem::path& exe) {
  std::filesystem::path p = exe;
  p += ".ztfailed";
  return p;
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

// One try, never a wait: the new version's move is tried again at its next look.
bool MoveOnce(const std::filesystem::path& from, const std::filesystem::path& to, std::string& reason) {
  if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  reason = LastErrorText("MoveFileExW " + PathToUtf8(from) + " -> " + PathToUtf8(to));
  return false;
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

bool WriteRecord(const ReplacementRecord& record, std::string& reason) {
  const std::filesystem::path file = RecordPath();
  if (file.empty()) {
    reason = "no folder of this user's own";
    return false;
  }
  std::lock_guard lock(g_recordMutex);
  return WriteReplacementRecord(file, record, MoveReplacing, reason);
}

// The record, when there is one of the process `newProcess` (0: of any).
std::optional<ReplacementRecord> RecordOf(std::uint32_t newProcess) {
  const std::filesystem::path file = RecordPath();
  if (file.empty()) return std::nullopt;
  auto record = ReadReplacementRecord(file);
  if (record && newProcess != 0 && record->newProcess != newProcess) return std::nullopt;
  return record;
}

void RemoveRecord() {
  const std::filesystem::path file = RecordPath();
  if (!file.empty()) RemoveQuietly(file);
}

// Whether process `id` runs one of `images` (an id of a process that ended, perhaps before a
// restart, may since name another program).
bool ProcessRunsFrom(std::uint32_t id, std::initializer_list<std::filesystem::path> images) {
  if (id == 0) return false;
  UniqueKernelHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
  if (!process || ::WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) return false;
  std::wstring image(32768, L'\0');
  DWORD size = static_cast<DWORD>(image.size());
  if (!::QueryFullProcessImageNameW(process.get(), 0, image.data(), &size)) return false;
  image.resize(size);
  for (const auto& candidate : images)
    if (SamePath(std::filesystem::path(image), candidate)) return true;
  return false;
}

std::optional<std::string> ServerResolutionProblem() {
  const ServerAddress server = UpdateServerAddress();
  WSADATA data;
  if (const int error = ::WSAStartup(MAKEWORD(2, 2), &data); error != 0) return ErrorText("WSAStartup", error);
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* found = nullptr;
  // An address given as digits resolves to itself, without asking anyone.
  const int error =
      ::GetAddrInfoW(Widen(server.host).c_str(), std::to_wstring(server.EffectivePort()).c_str(), &hints, &found);
  if (found) ::FreeAddrInfoW(found);
  ::WSACleanup();
  if (error != 0) return ErrorText("GetAddrInfoW " + LogValue(server.host), static_cast<DWORD>(error));
  return std::nullopt;
}

// The new version's side, kept by the main thread.
struct ReplacedStartState {
  std::optional<ReplacedStart> start;  // with it, a hand-over of this order
  UniqueKernelHandle previous;         // the previous process, to wait on
  bool confirmed = false;
  std::optional<ExecutableTakeOver> takeOver;
};
ReplacedStartState g_replaced;

}  // namespace

void SetReplacementRecordPath(const std::filesystem::path& file) {
  std::lock_guard lock(g_recordMutex);
  g_recordPath = file;
}

std::wstring ConfirmationEventName(std::string_view suffix) {
  return Widen(std::string(kConfirmationEventPrefix)) + Widen(suffix);
}

void HandleSwap::Ready(std::string version, const std::filesystem::path& exe, HeldFile held) {
  std::lock_guard lock(g_pendingMutex);
  g_pending.emplace(PendingReplacement{WindowsReplacementStart(std::move(version), exe, std::move(held))});
  // Started now: it loads while this window goes, and takes over the single-instance marker the
  // moment this one gives it up. A failure is told when the wait for its confirmation comes.
  std::string detail;
  g_pending->start.Launch(detail);
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
  if (!WriteRecord(record, reason))
    LogEvent(kEvent, "no record of the hand-over (" + reason + "): a power cut now would not remember the version");
  ::ResumeThread(thread.get());
  LogEvent(kEvent, "started " + PathToUtf8(m_placed) + " " + kAutoHideSwitch + " " + kReplacedSwitch + " " +
                       std::to_string(start.previousProcess) + " as process " + std::to_string(pi.dwProcessId));
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
  RemoveRecord();
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
  WindowsReplacementStart& start = pending.start;
  const StartOutcome outcome = FinishReplacement(start, TheUserState(), start.Exe(), start.Version());
  RecordOutcome(ReplacementOutcome(outcome, kAppVersion, start.Version()));
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

bool BeginReplacedStart(std::string_view commandLine) {
  g_replaced.start = ReadReplacedStart(commandLine);
  if (!g_replaced.start) return false;
  g_replaced.previous.reset(::OpenProcess(SYNCHRONIZE, FALSE, g_replaced.start->previousProcess));
  return true;
}

bool HandOverOfThisOrder() { return g_replaced.start.has_value(); }

bool PreviousVersionRuns() {
  return g_replaced.previous && ::WaitForSingleObject(g_replaced.previous.get(), 0) == WAIT_TIMEOUT;
}

std::optional<std::string> ReplacedStartProblem() {
  std::optional<LocalRead> previous;
  if (auto record = RecordOf(::GetCurrentProcessId())) previous = record->previousDescriptor;
  return ConfirmationProblem(TheDescriptorState().LastLocalRead(), previous, ServerResolutionProblem());
}

void ConfirmStarted() {
  if (!g_replaced.start) {
    // Started by a version of the earlier order: it waits for an event named after this process.
    UniqueKernelHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE,
                                          ConfirmationEventName(std::to_string(::GetCurrentProcessId())).c_str()));
    if (event) ::SetEvent(event.get());
    return;
  }
  // The record says so before the previous version can know: a power cut between the two leaves a
  // version that did confirm, which is then not remembered as failed.
  if (auto record = RecordOf(::GetCurrentProcessId())) {
    record->stage = HandOverStage::Confirmed;
    std::string reason;
    if (!WriteRecord(*record, reason)) LogEvent(kEvent, "the record of the hand-over keeps its stage: " + reason);
  }
  UniqueKernelHandle event(
      ::OpenEventW(EVENT_MODIFY_STATE, FALSE, ConfirmationEventName(g_replaced.start->token).c_str()));
  if (event) ::SetEvent(event.get());
  g_replaced.confirmed = true;
  const std::filesystem::path from = PathFromUtf8(GetStartedPath()), exe = PathFromUtf8(GetModulePath());
  if (!SamePath(from, exe)) g_replaced.takeOver.emplace(from, exe, MoveOnce, kTakeOverAttempts);
}

bool ContinueTakeOver() {
  if (!g_replaced.takeOver) return true;
  const std::string exe = GetModulePath();
  std::string reason;
  switch (g_replaced.takeOver->Look(g_replaced.confirmed, PreviousVersionRuns(), reason)) {
    case ExecutableTakeOver::Step::Waiting:
      return false;
    case ExecutableTakeOver::Step::Moved:
      LogEvent(kEvent, "version " + std::string(kAppVersion) + " has taken the place of " + exe);
      if (RecordOf(::GetCurrentProcessId())) RemoveRecord();
      break;
    case ExecutableTakeOver::Step::GaveUp:
      // The executable keeps the previous version, which has run: the next start removes this copy
      // and fetches this version again.
      LogEvent(kEvent, "version " + std::string(kAppVersion) + " cannot take the place of " + exe + " (" + reason +
                           "): it runs from beside it until it ends, and the previous version starts next time");
      break;
  }
  g_replaced.takeOver.reset();
  return true;
}

void RepairHalfDoneReplacement(const std::filesystem::path& exe, UserState& user) {
  const std::filesystem::path placed = NewExecutablePath(exe), old = OldExecutablePath(exe);
  std::error_code ec;
  HalfDoneFacts facts;
  facts.exe = std::filesystem::exists(exe, ec);
  facts.placed = std::filesystem::exists(placed, ec);
  facts.old = std::filesystem::exists(old, ec);
  const std::optional<ReplacementRecord> record = RecordOf(0);
  if (record && SamePath(record->exe, exe)) {
    facts.stage = record->stage;
    facts.version = record->version;
    facts.handOverRuns =
        ProcessRunsFrom(record->previousProcess, {exe, placed}) || ProcessRunsFrom(record->newProcess, {exe, placed});
  }
  const HalfDoneRepair repair = DecideHalfDoneRepair(facts);
  if (!repair.found.empty()) LogEvent(kEvent, repair.found);
  std::string reason;
  bool complete = true;
  const auto failed = [&](const std::string& what) {
    LogEvent(kEvent, what + ": " + reason);
    complete = false;
  };
  // Remembered before its copy goes: a power cut in between still leaves it remembered.
  if (repair.rememberFailed) user.RememberFailedUpdaterVersion(facts.version);
  if (repair.rememberFailed)
    RecordOutcome({kWhatUpdater,
                   kResultRolledBack,
                   facts.version,
                   kAppVersion,
                   {},
                   "interrupted",
                   "新版本未能确认正常运行，已保留原版本"});
  if (repair.restoreOld && !::MoveFileExW(old.c_str(), exe.c_str(), MOVEFILE_WRITE_THROUGH)) {
    reason = LastErrorText("MoveFileExW");
    failed("cannot put the previous version back");
  }
  if (repair.takePlaced && !MoveReplacing(placed, exe, reason)) failed("cannot move the new version into place");
  if (repair.removePlaced && !RemoveWithRetries(placed, kRemoveAttemptsAtStart, reason))
    failed("cannot remove the new copy");
  if (repair.removeOld && !RemoveWithRetries(old, kRemoveAttemptsAtStart, reason))
    failed("cannot remove the previous version's copy");
  if (repair.removeRecord && complete) RemoveRecord();
  // The failed new copy that the earlier order's way back left.
  if (std::filesystem::remove(FailedExecutablePath(exe), ec))
    LogEvent(kEvent, "removed " + PathToUtf8(FailedExecutablePath(exe)));
}

void RemoveReplacedExecutable(const std::filesystem::path& exe) {
  for (const auto& left : {OldExecutablePath(exe), FailedExecutablePath(exe)}) {
    std::error_code ec;
    if (std::filesystem::remove(left, ec)) LogEvent(kEvent, "removed " + PathToUtf8(left));
  }
}

}  // namespace zt
