#include "update/install/replaced_start_win.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cwchar>
#include <optional>

#include "base/cmdline.h"
#include "base/descriptor_state.h"
#include "base/fsutil.h"
#include "base/history.h"
#include "base/log.h"
#include "base/paths.h"
#include "update/install/hand_over.h"
#include "update/install/hand_over_record_win.h"
#include "update/install/self_update.h"
#include "update/install/temp_file_win.h"
#include "update/net/server_setting.h"
#include "win/error.h"
#include "win/handles.h"
#include "win/process.h"
#include "win/text.h"

namespace zt {
namespace {

// At start-up a file that is held (a scanner) is left for the next start rather than hold up this one.
constexpr int kRemoveAttemptsAtStart = 4;
// The new version's move over the executable is looked at on a timer (ui/replacement_win.cpp):
// this many failed moves (a scanner holding the executable lets go within moments) and it gives up.
constexpr int kTakeOverAttempts = 40;

std::filesystem::path FailedExecutablePath(const std::filesystem::path& exe) {
  std::filesystem::path p = exe;
  p += ".ztfailed";
  return p;
}

// A copy an earlier hand-over left, removed when it can be (it is tried again at the next start).
void RemoveLeftOver(const std::filesystem::path& file) {
  std::error_code ec;
  if (std::filesystem::remove(file, ec)) LogEvent(kSelfUpdateEvent, "removed " + PathToUtf8(file));
}

// One try, never a wait: the new version's move is tried again at its next look.
bool MoveOnce(const std::filesystem::path& from, const std::filesystem::path& to, std::string& reason) {
  if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  reason = LastErrorText("MoveFileExW " + PathToUtf8(from) + " -> " + PathToUtf8(to));
  return false;
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
  if (auto record = HandOverRecordOf(::GetCurrentProcessId())) previous = record->previousDescriptor;
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
  if (auto record = HandOverRecordOf(::GetCurrentProcessId())) {
    record->stage = HandOverStage::Confirmed;
    std::string reason;
    if (!WriteHandOverRecord(*record, reason))
      LogEvent(kSelfUpdateEvent, "the record of the hand-over keeps its stage: " + reason);
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
      LogEvent(kSelfUpdateEvent, "version " + std::string(kAppVersion) + " has taken the place of " + exe);
      if (HandOverRecordOf(::GetCurrentProcessId())) RemoveHandOverRecord();
      break;
    case ExecutableTakeOver::Step::GaveUp:
      // The executable keeps the previous version, which has run: the next start removes this copy
      // and fetches this version again.
      LogEvent(kSelfUpdateEvent,
               "version " + std::string(kAppVersion) + " cannot take the place of " + exe + " (" + reason +
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
  const std::optional<ReplacementRecord> record = HandOverRecordOf(0);
  if (record && SamePath(record->exe, exe)) {
    facts.stage = record->stage;
    facts.version = record->version;
    facts.handOverRuns =
        ProcessRunsFrom(record->previousProcess, {exe, placed}) || ProcessRunsFrom(record->newProcess, {exe, placed});
  }
  const HalfDoneRepair repair = DecideHalfDoneRepair(facts);
  if (!repair.found.empty()) LogEvent(kSelfUpdateEvent, repair.found);
  std::string reason;
  bool complete = true;
  const auto failed = [&](const std::string& what) {
    LogEvent(kSelfUpdateEvent, what + ": " + reason);
    complete = false;
  };
  // Remembered before its copy goes: a power cut in between still leaves it remembered.
  if (repair.rememberFailed) {
    user.RememberFailedUpdaterVersion(facts.version);
    RecordOutcome({kWhatUpdater,
                   kResultRolledBack,
                   facts.version,
                   kAppVersion,
                   {},
                   "interrupted",
                   "新版本未能确认正常运行，已保留原版本"});
  }
  if (repair.restoreOld && !::MoveFileExW(old.c_str(), exe.c_str(), MOVEFILE_WRITE_THROUGH)) {
    reason = LastErrorText("MoveFileExW");
    failed("cannot put the previous version back");
  }
  if (repair.takePlaced && !MoveReplacing(placed, exe, reason)) failed("cannot move the new version into place");
  if (repair.removePlaced && !RemoveWithRetries(placed, kRemoveAttemptsAtStart, reason))
    failed("cannot remove the new copy");
  if (repair.removeOld && !RemoveWithRetries(old, kRemoveAttemptsAtStart, reason))
    failed("cannot remove the previous version's copy");
  if (repair.removeRecord && complete) RemoveHandOverRecord();
  // The failed new copy that the earlier order's way back left.
  RemoveLeftOver(FailedExecutablePath(exe));
}

void RemoveReplacedExecutable(const std::filesystem::path& exe) {
  for (const auto& left : {OldExecutablePath(exe), FailedExecutablePath(exe)}) RemoveLeftOver(left);
}

}  // namespace zt
