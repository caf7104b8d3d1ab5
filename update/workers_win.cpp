// The two worker threads: the portable procedures wired to the application's shared descriptor
// state, WinINet, the main window and the command interpreter.
#include <windows.h>

#include "app/app.h"
#include "app/descriptor.h"
#include "app/fsutil.h"
#include "app/log.h"
#include "app/paths.h"
#include "update/download_win.h"
#include "update/downloads.h"
#include "win/text.h"

namespace zt {
namespace {

class AppDescriptor final : public DescriptorAccess {
 public:
  std::string ServerText() override { return theApp.m_state.ServerText(); }
  bool ClearServerTextIf(const std::string& expected) override { return theApp.m_state.ClearServerTextIf(expected); }
  std::string KeyValue(const std::string& text, std::string_view key) override { return GetKeyValue(text, key); }
  int Atoi(std::string_view text) override { return AtoiRule(text); }
  std::string DataVersion() override { return theApp.m_state.DataVersion(); }
  bool ReloadLocal() override { return theApp.m_state.LoadLocalVersion(PathFromUtf8(kUpdateRoot)); }
};

WinInetDownloader PackageDownloader() {
  return WinInetDownloader({UpdateServerAddress(), PathFromUtf8(kDownloadFolder)}, kPackageBudget);
}

// A worker's whole body sits inside one catch-all: no exception ends the process.
DWORD WINAPI DataThreadProc(LPVOID) {
  try {
    AppDescriptor descriptor;
    WinInetDownloader downloader = PackageDownloader();
    WindowPoster poster;
    return static_cast<DWORD>(
        RunDataProcedure(descriptor, downloader, poster, {PathFromUtf8(kUpdateRoot), PathFromUtf8(kDownloadFolder), MoveReplacing}));
  } catch (...) {
    LogEvent("data", "stopped by an unexpected error");
    return 0;
  }
}

DWORD WINAPI UpdaterThreadProc(LPVOID) {
  try {
    AppDescriptor descriptor;
    WinInetDownloader downloader = PackageDownloader();
    WindowPoster poster;
    ScriptProcessStarter starter;
    FolderReplaceabilityCheck check;
    UpdaterPaths paths{GetModulePath(), kDownloadFolder, theApp.m_strAppVersion, Utf8ToOem};
    return static_cast<DWORD>(RunUpdaterProcedure(descriptor, downloader, poster, starter, check, paths));
  } catch (...) {
    LogEvent("self-update", "stopped by an unexpected error");
    return 0;
  }
}

void StartWorker(LPTHREAD_START_ROUTINE proc, const char* what) {
  HANDLE thread = ::CreateThread(nullptr, 0, proc, nullptr, 0, nullptr);
  if (thread == nullptr) {
    LogEvent(what, "cannot start its thread");
    return;
  }
  ::CloseHandle(thread);
}

}  // namespace

void StartDataThread() { StartWorker(DataThreadProc, "data"); }
void StartUpdaterThread() { StartWorker(UpdaterThreadProc, "self-update"); }

}  // namespace zt
