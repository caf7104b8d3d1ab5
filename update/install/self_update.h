// The tool replaces itself, and a bad release never costs the user the tool. A worker fetches the
// new executable, checks it (signed hash, version resource, processor), places it beside the
// running one and swaps the two files while this process still runs. Once the window has ended,
// the main thread starts the new executable and keeps the old one until the new one confirms that
// its window and tray icon are up; otherwise it ends the new one, puts the old one back, starts it
// and remembers the failed version for this user. Portable: files through std::filesystem, the
// rest through the small interfaces below.
#pragma once
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "update/install/procedures.h"

namespace zt {

// The Windows side of the swap.
class ExecutableSwap {
 public:
  virtual ~ExecutableSwap() = default;
  // Moves the running executable `exe` aside to `old` (a running executable can be renamed, not
  // replaced), then the held new file to `exe` through the handle it was hashed with, so that what
  // lands there is what was checked. False and a reason when it cannot; `exe` is then as it was.
  virtual bool SwapIn(HeldFile& held, const std::filesystem::path& exe, const std::filesystem::path& old,
                      std::string& reason) = 0;
  // The new executable `version` is in place and held: the main thread starts it once the window
  // has ended.
  virtual void Ready(std::string version, HeldFile held) = 0;
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

// Returns 1 once the new executable is in place (the program must end now), 0 otherwise.
int RunUpdaterProcedure(UpdateContext& c, ExecutableSwap& swap, ReplaceabilityCheck& check, const UpdaterPaths& paths);

// Beside the executable: its successor while it is checked, and the old copy while the successor
// has not yet confirmed that it runs.
std::filesystem::path NewExecutablePath(const std::filesystem::path& exe);
std::filesystem::path OldExecutablePath(const std::filesystem::path& exe);

// How long a new executable has to confirm that it is up.
inline constexpr std::chrono::seconds kConfirmationWait{30};

enum class StartOutcome {
  Confirmed,      // window, tray icon and message loop are up
  Ended,          // it ended (or crashed) before it confirmed
  NotConfirmed,   // no confirmation within the wait
  CouldNotStart,  // the process was not created
};

// The main thread's side of a replacement, after the window has ended.
class ReplacementStart {
 public:
  virtual ~ReplacementStart() = default;
  // Starts the executable in place as the replaced tool, unless that was done already, and waits up
  // to `wait` for its confirmation; `detail` says what happened otherwise (exit status, error).
  virtual StartOutcome StartNew(std::chrono::milliseconds wait, std::string& detail) = 0;
  // Ends the new process, when one was created (by its handle), and waits for it, so its file can
  // be moved.
  virtual void EndNew() = 0;
  // Puts the old executable back at its path, replacing the new one; false and a reason if not.
  virtual bool PutBackOld(std::string& reason) = 0;
  // Starts the old version from `file`, hidden in the tray; false and a reason if not.
  virtual bool StartOld(const std::filesystem::path& file, std::string& reason) = 0;
};

// Starts the new version `version` now at `exe` and, unless it confirms, brings the old one back
// from its place aside, starts it and remembers `version` as failed. Confirmed when the new
// version runs.
StartOutcome FinishReplacement(ReplacementStart& start, UserState& user, const std::filesystem::path& exe,
                               std::string_view version);
// What the history keeps of a replacement from `running` to `version`.
Outcome ReplacementOutcome(StartOutcome outcome, std::string_view running, std::string_view version);

}  // namespace zt
