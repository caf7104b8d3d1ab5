// The Windows side of the self-replacement: the swap through the held handle, the hand-over from
// the worker to the main thread, the start of the new executable with its confirmation and, when
// it does not come, the way back to the old one.
#pragma once
#include <windows.h>

#include <filesystem>
#include <string>

#include "update/install/self_update.h"
#include "win/handles.h"

namespace zt {

// The swap of a file held by CngCrypto (the handle it was hashed through moves it).
class HandleSwap final : public ExecutableSwap {
 public:
  bool SwapIn(HeldFile& held, const std::filesystem::path& exe, const std::filesystem::path& old,
              std::string& reason) override;
  // Starts the new executable and keeps it for CompletePendingReplacement.
  void Ready(std::string version, HeldFile held) override;

 private:
  std::filesystem::path m_exe;
};

// When a worker swapped a new executable in: waits on a thread of its own for the new executable's
// confirmation, or brings the old one back, then posts `message` to the main window. False (and
// nothing happens) when no replacement is pending.
bool FinishPendingReplacementThen(UINT message);
// The same on this thread, for a window that ended before it could wait (nothing when none is
// pending or the wait runs already).
void CompletePendingReplacement();

// The new instance's side: tells the process that started it that its window, tray icon and
// message loop are up. Does nothing when nobody waits.
void ConfirmStarted();

// The event a replaced start sets: named after the new process, so nothing else can set it first.
std::wstring ConfirmationEventName(DWORD processId);

// At start-up (not while a replacement waits for its confirmation): removes what a finished
// replacement left beside the executable (the old copy, a failed new one).
void RemoveReplacedExecutable(const std::filesystem::path& exe);

// The process-level steps of a replacement, for the new executable at `exe`, held as it was
// checked until its process exists.
class WindowsReplacementStart final : public ReplacementStart {
 public:
  WindowsReplacementStart(std::filesystem::path exe, HeldFile held) : m_exe(std::move(exe)), m_held(std::move(held)) {}
  const std::filesystem::path& Exe() const { return m_exe; }
  // Creates the new process and lets it run (once); false, with `detail`, when it could not be.
  bool Launch(std::string& detail);
  StartOutcome StartNew(std::chrono::milliseconds wait, std::string& detail) override;
  void EndNew() override;
  bool PutBackOld(std::string& reason) override;
  bool StartOld(const std::filesystem::path& file, std::string& reason) override;

 private:
  std::filesystem::path m_exe;
  HeldFile m_held;
  UniqueKernelHandle m_process;
  UniqueKernelHandle m_confirmed;  // the event the new process sets
  bool m_launched = false;
  std::string m_launchProblem;
};

}  // namespace zt
