// The Windows side of the self-replacement, the new version's part: its wait for the single-instance
// marker while the previous process lives, the checks before it confirms, the confirmation and its
// move over the executable. And at an ordinary start, a hand-over that was cut short is finished or
// undone (hand_over.h).
#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/user_state.h"

namespace zt {

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

}  // namespace zt
