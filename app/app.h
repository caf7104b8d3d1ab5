// The application object: single instance, start-up, and the descriptor strings shared by the
// window's thread and the workers (behind one lock, handed out as copies).
#pragma once
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

#include "app/descriptor_state.h"
#include "app/paths.h"
#include "win/handles.h"

namespace zt {

class CAutoUpdateApp {
 public:
  // Start-up: the single-instance mutex, the local descriptor, the main window; returns when the
  // main window has ended (a second instance returns at once). "/exit" only ends the running one.
  BOOL InitInstance();
  // The process's exit status: 0, or 1 when "/exit" found the running instance still there.
  UINT ExitCode() const { return m_nExitCode; }
  // Started by the previous version, which waits for this one to confirm that it is up.
  bool ReplacedStart() const { return m_bReplacedStart; }
  // Gives up the single-instance marker before the program has ended: its successor starts now.
  void ReleaseInstanceMarker() { m_instanceMarker.reset(); }

  // After a fetch that did (`stored`) or did not store Download\version.txt: the server text
  // becomes the stored descriptor when it may be trusted, and is emptied otherwise.
  bool TakeFetchedDescriptor(bool stored);
  // Reads C:\ZT_Update\version.txt into the shared local text and values.
  BOOL LoadLocalVersion();

  const std::string m_strAppVersion = kAppVersion;
  DescriptorState m_state;  // m_strDataVersion, m_strDataTime, m_strDataDesc, m_strLocalText, m_strServerText

 private:
  UINT m_nExitCode = 0;
  bool m_bReplacedStart = false;
  UniqueKernelHandle m_instanceMarker;
};

extern CAutoUpdateApp theApp;

// The running executable's full path (UTF-8), whatever its length.
std::string GetModulePath();
// This user's own folder of the tool, %LOCALAPPDATA%\ZT_AutoUpdate (created when missing); no other
// account may write there. Empty when the system does not name one.
std::filesystem::path PrivateFolder();
// The readers over this process's command line (GetCommandLineW as UTF-8).
int GetArgCount();
std::string GetArg(int n);

// The single-instance marker, the named mutex: false when another instance holds it. A failed
// creation counts as a first instance (the handle is then empty).
bool ClaimSingleInstance(UniqueKernelHandle* mutex);
// Whether an instance of this log-on session holds the marker.
bool InstanceRunning();
// "/exit": asks the running instance to end and waits up to `wait` for it; 0 when none runs any
// more, 1 when it still does.
UINT EndRunningInstance(std::chrono::milliseconds wait);
// The registered message that asks the main window to end the program.
UINT EndInstanceMessage();

// A message box with the application title (the executable's name without extension) as caption.
int AppMessageBox(std::string_view text, UINT type);

}  // namespace zt
