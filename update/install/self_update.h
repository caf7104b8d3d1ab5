// The tool replaces itself, and neither a bad release nor a power cut ever costs the user the tool.
// A worker fetches the new executable, checks it (signed hash, version resource, processor) and
// places it beside the running one, held as it was checked. The new version is started from there
// while this process still runs; the executable's own path keeps this version until the new one has
// confirmed that it runs and this process has ended (hand_over.h). Otherwise this process ends the
// new one, removes its copy, starts itself again from the untouched executable and remembers the
// failed version for this user. Portable: files through std::filesystem, the rest through the small
// interfaces below.
#pragma once
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "update/install/procedures.h"

namespace zt {

// The Windows side of the swap: where the checked new executable goes from the worker.
class ExecutableSwap {
 public:
  virtual ~ExecutableSwap() = default;
  // The new executable `version` is placed beside `exe` (NewExecutablePath) and held as it was
  // checked: it is started from there, and the main thread waits for its confirmation once the
  // window has ended.
  virtual void Ready(std::string version, const std::filesystem::path& exe, HeldFile held) = 0;
};

// Whether the executable can be replaced: nullopt when it can, else why not.
class ReplaceabilityCheck {
 public:
  virtual ~ReplaceabilityCheck() = default;
  virtual std::optional<std::string> Problem(const std::filesystem::path& exe) = 0;
};

// The portable check: a file can be created and deleted beside the executable, and the executable
// is not read-only.
class FolderReplaceabilityCheck final : public ReplaceabilityCheck {
 public:
  std::optional<std::string> Problem(const std::filesystem::path& exe) override;
};

struct UpdaterPaths {
  std::filesystem::path exe;             // the running executable
  std::filesystem::path downloadFolder;  // where the download lands
  std::string appVersion;                // the program's own version text
  std::uint16_t machine = 0;             // the processor the running build is for
  ReplaceFileFn replace;                 // empty: RenameReplacing
};

// Returns 1 once the new executable is placed and handed on (the program must end now), 0 otherwise.
int RunUpdaterProcedure(UpdateContext& c, ExecutableSwap& swap, ReplaceabilityCheck& check, const UpdaterPaths& paths);

// Beside the executable: its successor, checked and run from there until it takes the executable's
// place; and the old copy that versions of the earlier order kept aside.
std::filesystem::path NewExecutablePath(const std::filesystem::path& exe);
std::filesystem::path OldExecutablePath(const std::filesystem::path& exe);

// How long a new executable has to confirm that it is up.
inline constexpr std::chrono::seconds kConfirmationWait{30};

enum class StartOutcome {
  Confirmed,      // window, tray icon and message loop are up, its descriptor state read, its server found
  Ended,          // it ended (or crashed) before it confirmed
  Unfit,          // it ended saying that it cannot work here (kUnfitExitStatus)
  NotConfirmed,   // no confirmation within the wait
  CouldNotStart,  // the process was not created
};

// The exit status of a new version that came up but cannot read its descriptor state or resolve
// its server's address: it says why in the log and ends, and the previous version stays.
// The log event of every step of a self-update, on both sides.
inline constexpr char kSelfUpdateEvent[] = "self-update";
inline constexpr std::uint32_t kUnfitExitStatus = 0x20005A55;

// The main thread's side of a replacement, after the window has ended. Nothing here renames the
// executable: only a new version that has confirmed moves itself over it (ExecutableTakeOver).
class ReplacementStart {
 public:
  virtual ~ReplacementStart() = default;
  // Starts the new executable from its place beside the executable as the replaced tool, unless
  // that was done already, and waits up to `wait` for its confirmation; `detail` says what happened
  // otherwise (exit status, error).
  virtual StartOutcome StartNew(std::chrono::milliseconds wait, std::string& detail) = 0;
  // Ends the new process, when one was created (by its handle), and waits for it, so its file can
  // be removed.
  virtual void EndNew() = 0;
  // Removes the new copy beside the executable, then the hand-over's record; false and a reason if
  // the copy stays (the next start removes it).
  virtual bool RemoveNew(std::string& reason) = 0;
  // Starts the old version from `file`, hidden in the tray; false and a reason if not.
  virtual bool StartOld(const std::filesystem::path& file, std::string& reason) = 0;
};

// Starts the new version `version` from beside `exe` now and, unless it confirms, ends it, remembers
// `version` as failed, removes its copy and starts the old version again from `exe`, which it never
// left. Confirmed when the new version runs.
StartOutcome FinishReplacement(ReplacementStart& start, UserState& user, const std::filesystem::path& exe,
                               std::string_view version);
// What the history keeps of a replacement from `running` to `version`.
Outcome ReplacementOutcome(StartOutcome outcome, std::string_view running, std::string_view version);

}  // namespace zt
