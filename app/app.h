// The application object: single instance and start-up; the top of the program (it runs the main
// window, and nothing below includes it).
#pragma once
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/paths.h"
#include "win/handles.h"

namespace zt {

class CAutoUpdateApp {
 public:
  // Start-up: the single-instance mutex, the local descriptor, the main window; returns when the
  // main window has ended (a second instance returns at once). "/exit" only ends the running one.
  BOOL InitInstance();
  // The process's exit status: 0, 1 when "/exit" found the running instance still there, or
  // kUnfitExitStatus when a replaced start cannot do its work here.
  UINT ExitCode() const { return m_nExitCode; }

 private:
  UINT m_nExitCode = 0;
  bool m_bReplacedStart = false;
  UniqueKernelHandle m_instanceMarker;
};

extern CAutoUpdateApp theApp;

// The tool's log appender: one line appended whole at the end of `file`, also while other
// processes (a replaced and a replacing tool, another session's) append to it.
bool AppendLogLine(const std::filesystem::path& file, std::string_view line);

// The single-instance marker, the named mutex: false when another instance holds it. A failed
// creation counts as a first instance (the handle is then empty).
bool ClaimSingleInstance(UniqueKernelHandle* mutex);
// Whether an instance of this log-on session holds the marker.
bool InstanceRunning();
// "/exit": asks the running instance to end and waits up to `wait` for it; 0 when none runs any
// more, 1 when it still does.
UINT EndRunningInstance(std::chrono::milliseconds wait);
}  // namespace zt
