// The Windows side of the self-replacement. The previous version's part: the hand-over of the
// checked new executable from the worker to the main thread, its start from beside the executable
// with a confirmation event of this replacement's own, and the way back when no confirmation comes.
// The new version's part: its wait for the single-instance marker while the previous process lives,
// the checks before it confirms, the confirmation and its move over the executable. And at an
// ordinary start, a hand-over that was cut short is finished or undone (hand_over.h).
#pragma once
#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/user_state.h"
#include "update/install/hand_over.h"
#include "update/install/self_update.h"
#include "win/handles.h"

namespace zt {

// The hand-on of a file held by CngCrypto to the main thread, which starts it from where it lies.
class HandleSwap final : public ExecutableSwap {
 public:
  // Starts the new executable and keeps it for CompletePendingReplacement.
  void Ready(std::string version, const std::filesystem::path& exe, HeldFile held) override;
};

// When a worker handed a new executable on: waits on a thread of its own for the new executable's
// confirmation, or brings the old one back, then posts `message` to the main window. False (and
// nothing happens) when no replacement is pending.
bool FinishPendingReplacementThen(UINT message);
// The same on this thread, for a window that ended before it could wait (nothing when none is
// pending or the wait runs already).
void CompletePendingReplacement();

// Where the hand-over's record is kept (this user's own folder); until set, none is kept.
void SetReplacementRecordPath(const std::filesystem::path& file);

// The event a replaced start sets: named with the random part its command line gives, or, for a
// start by a version of the earlier order, with its own process id.
std::wstring ConfirmationEventName(std::string_view suffix);

// --- the new version's side -------------------------------------------------------------------

// At a replaced start, with the command line: when it names the previous process and the event (a
// previous version of this order), opens that process to wait on. False for a start of the earlier
// order, which names neither.
bool BeginReplacedStart(std::string_view commandLine);
// Whether BeginReplacedStart found both.
bool HandOverOfThisOrder();
// Whether the previous process named at a replaced start still runs (false when none was named or
// it could not be opened).
bool PreviousVersionRuns();
// Why this replaced start may not confirm: the installed version.txt as it was read at start-up,
// and its server's address, resolved. nullopt when it may.
std::optional<std::string> ReplacedStartProblem();
// Tells the process that started it that its window, tray icon and message loop are up: the record
// says so first, then the event is set. Does nothing when nobody waits.
void ConfirmStarted();
// After the confirmation, again and again: moves this version over the executable once the previous
// process has ended. True when nothing more is to be done (moved, given up, or nothing to move).
bool ContinueTakeOver();

// --- any start --------------------------------------------------------------------------------

// At an ordinary start, before anything else: finishes or undoes a hand-over of `exe` that was cut
// short (a power cut, a log-off), says what it found in the log, and removes what a replacement of
// the earlier order left beside it.
void RepairHalfDoneReplacement(const std::filesystem::path& exe, UserState& user);
// What a replacement of the earlier order left beside `exe`: the old copy and a failed new one,
// removed once the version that left them has ended (a replaced start of that order).
void RemoveReplacedExecutable(const std::filesystem::path& exe);

// The process-level steps of a replacement, for the new executable `version` placed beside `exe`,
// held as it was checked until its process exists.
class WindowsReplacementStart final : public ReplacementStart {
 public:
  // `token`: the confirmation event's random part; empty: drawn when the process is started.
  WindowsReplacementStart(std::string version, std::filesystem::path exe, HeldFile held, std::string token = {});
  const std::filesystem::path& Exe() const { return m_exe; }
  const std::string& Version() const { return m_version; }
  // Creates the event and the new process and lets it run (once); false, with `detail`, when it
  // could not be.
  bool Launch(std::string& detail);
  StartOutcome StartNew(std::chrono::milliseconds wait, std::string& detail) override;
  void EndNew() override;
  bool RemoveNew(std::string& reason) override;
  bool StartOld(const std::filesystem::path& file, std::string& reason) override;

 private:
  std::string m_version;
  std::filesystem::path m_exe, m_placed;
  HeldFile m_held;
  std::string m_token;
  UniqueKernelHandle m_process;
  UniqueKernelHandle m_confirmed;  // the event the new process sets
  bool m_launched = false;
  std::string m_launchProblem;
};

}  // namespace zt
