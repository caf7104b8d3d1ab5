// The hand-over from the running version to the new one it starts, ordered so that a power cut at
// any moment never costs the user the tool: the executable's path (the one the Run value names)
// only ever holds a version that has shown that it runs. The new version is checked and started
// from its place beside the executable (`<exe>.ztnew`); once it has confirmed and the previous
// process has ended, it moves itself over the executable in one rename. A record in this user's
// own folder says what was started and how far it got, so that a start finding a hand-over cut
// short finishes or undoes it before anything else. Portable: files through std::filesystem.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/descriptor_state.h"
#include "update/install/temp_file.h"

namespace zt {

enum class HandOverStage {
  Started,    // the new version runs (or ran) and has not confirmed
  Confirmed,  // it confirmed that it runs; it takes the executable's place once the previous has ended
};

// The record (replacing.txt): written by the previous version between the new process's creation
// and its first instruction, moved to Confirmed by the new version just before it confirms, and
// removed by whichever side ends the hand-over.
struct ReplacementRecord {
  std::string version;                                // the new version, as offered (UTF-8)
  std::filesystem::path exe;                          // the executable it is to take over
  std::uint32_t previousProcess = 0;                  // the process that started it
  std::uint32_t newProcess = 0;                       // the new version's process
  LocalRead previousDescriptor = LocalRead::Missing;  // how the previous version read version.txt
  HandOverStage stage = HandOverStage::Started;
};

std::string FormatReplacementRecord(const ReplacementRecord& record);
// nullopt when a line the record needs is missing or malformed (a record cut short counts as none).
std::optional<ReplacementRecord> ParseReplacementRecord(std::string_view text);
// Written to a temporary file and moved into place with `replace`, so the record is whole or the
// earlier one; false and a reason when it is not written.
bool WriteReplacementRecord(const std::filesystem::path& file, const ReplacementRecord& record,
                            const ReplaceFileFn& replace, std::string& reason);
std::optional<ReplacementRecord> ReadReplacementRecord(const std::filesystem::path& file);

// What an ordinary start finds beside its executable.
struct HalfDoneFacts {
  bool exe = true;                     // the executable's path holds a file
  bool placed = false;                 // <exe>.ztnew
  bool old = false;                    // <exe>.ztold, which versions of the earlier order kept aside
  std::optional<HandOverStage> stage;  // the record, when there is one for this executable
  std::string version;                 // the record's version
  bool handOverRuns = false;           // a process the record names still runs
};

// What the start does about it, in this order: the executable's path first, then what is left.
struct HalfDoneRepair {
  bool restoreOld = false;      // <exe>.ztold back to the executable's path
  bool takePlaced = false;      // the confirmed <exe>.ztnew to the executable's path
  bool removePlaced = false;    // <exe>.ztnew goes
  bool removeOld = false;       // <exe>.ztold goes
  bool rememberFailed = false;  // the record's version is never fetched again
  bool removeRecord = false;
  std::string found;  // what was found and done, for the log; empty when nothing was
};
HalfDoneRepair DecideHalfDoneRepair(const HalfDoneFacts& facts);

// Why a new version may not confirm that it runs: it could not read the installed version.txt
// although the previous version could (one that neither can read is this PC's state, not the
// build's fault), or it cannot resolve its server's address (`serverProblem`). nullopt when it may.
std::optional<std::string> ConfirmationProblem(LocalRead own, std::optional<LocalRead> previous,
                                               const std::optional<std::string>& serverProblem);

// The new version's side once it has confirmed: it moves itself from beside the executable over the
// executable, once the previous process has ended (a running executable can be renamed; the file a
// process runs from cannot be replaced). Looked at again and again (a timer).
class ExecutableTakeOver {
 public:
  // Gives up after `attempts` failed moves (a scanner holding the executable lets go in moments).
  ExecutableTakeOver(std::filesystem::path placed, std::filesystem::path exe, ReplaceFileFn replace, int attempts);
  enum class Step {
    Waiting,  // not confirmed yet, the previous process still runs, or a move failed and is tried again
    Moved,    // the executable's path holds this version
    GaveUp,   // the executable's path keeps the previous version; `reason` says why
  };
  // One look; after Moved or GaveUp it does nothing more (and answers Waiting).
  Step Look(bool confirmed, bool previousRuns, std::string& reason);

 private:
  std::filesystem::path m_placed, m_exe;
  ReplaceFileFn m_replace;
  int m_attemptsLeft;
  bool m_done = false;
};

}  // namespace zt
