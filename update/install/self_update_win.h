// The Windows side of the self-replacement, the previous version's part: the hand-over of the
// checked new executable from the worker to the main thread, its start from beside the executable
// with a confirmation event of this replacement's own, and the way back when no confirmation comes.
// The new version's part is in replaced_start_win.h.
#pragma once
#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/user_state.h"
#include "update/install/hand_over.h"
#include "update/install/hand_over_record_win.h"
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
