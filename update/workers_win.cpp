// The two worker threads: the portable procedures wired to the application's shared descriptor
// state, WinINet, the built-in trust, the main window and the command interpreter.
#include <windows.h>

#include <memory>

#include "app/app.h"
#include "app/descriptor.h"
#include "app/fsutil.h"
#include "app/log.h"
#include "app/notice.h"
#include "app/paths.h"
#include "update/crypto_win.h"
#include "update/downloads.h"
#include "update/downloads_win.h"
#include "win/error.h"
#include "win/text.h"

namespace zt {
namespace {

class AppDescriptor final : public DescriptorAccess {
 public:
  DescriptorCopy Server() override { return theApp.m_state.Server(); }
  bool ClearServerIf(const DescriptorCopy& expected) override {
    return theApp.m_state.ClearServerTextIf(expected.text);
  }
  std::string KeyValue(const std::string& text, std::string_view key) override { return GetKeyValue(text, key); }
  int Atoi(std::string_view text) override { return AtoiRule(text); }
  std::string DataVersion() override { return theApp.m_state.DataVersion(); }
  std::string LocalText() override { return theApp.m_state.Local().text; }
  bool ReloadLocal() override { return theApp.m_state.LoadLocalVersion(PathFromUtf8(kUpdateRoot)); }
  std::string Shown(std::string_view value) override { return GbkToUtf8(value); }
};

WinInetDownloader PackageDownloader() {
  return WinInetDownloader({UpdateServerAddress(), PathFromUtf8(kDownloadFolder)}, kPackageBudget);
}

// A worker's whole body sits inside one catch-all: no exception ends the process.
DWORD WINAPI DataThreadProc(LPVOID) {
  try {
    AppDescriptor descriptor;
    WinInetDownloader downloader = PackageDownloader();
    WindowNotices notices;
    const DataPaths paths{PathFromUtf8(kUpdateRoot), PathFromUtf8(kDownloadFolder), MoveReplacing};
    const int installed = RunDataProcedure(descriptor, downloader, notices, BuiltInTrust(), paths);
    // A notice (no room for the package, for one) has done its work once a package is in place.
    if (installed == 1) ClearInfoNotice();
    return static_cast<DWORD>(installed);
  } catch (...) {
    LogEvent("data", "stopped by an unexpected error");
    return 0;
  }
}

DWORD WINAPI UpdaterThreadProc(LPVOID) {
  try {
    AppDescriptor descriptor;
    WinInetDownloader downloader = PackageDownloader();
    WindowNotices notices;
    ScriptProcessStarter starter;
    FolderReplaceabilityCheck check;
    const UpdaterPaths paths{GetModulePath(), kDownloadFolder, theApp.m_strAppVersion, Utf8ToOem, MoveReplacing};
    return static_cast<DWORD>(
        RunUpdaterProcedure(descriptor, downloader, notices, starter, check, BuiltInTrust(), paths));
  } catch (...) {
    LogEvent("self-update", "stopped by an unexpected error");
    return 0;
  }
}

struct FetchOrder {
  HWND window;
  UINT message;
  std::chrono::milliseconds budget;
};

DWORD WINAPI FetchThreadProc(LPVOID parameter) {
  const std::unique_ptr<FetchOrder> order(static_cast<FetchOrder*>(parameter));
  int stored = 0;
  try {
    stored = DownloadFile(kDescriptorName, 0, order->budget);
  } catch (...) {
    LogEvent("descriptor", "the fetch stopped by an unexpected error");
  }
  // The window goes on from here; a window that has gone meanwhile simply never gets it.
  ::PostMessageW(order->window, order->message, stored != 0 ? 1 : 0, 0);
  return static_cast<DWORD>(stored);
}

bool StartWorker(LPTHREAD_START_ROUTINE proc, const char* what, void* parameter = nullptr) {
  UniqueKernelHandle thread(::CreateThread(nullptr, 0, proc, parameter, 0, nullptr));
  if (!thread) LogEvent(what, LastErrorText("CreateThread"));
  return static_cast<bool>(thread);
}

}  // namespace

void StartDataThread() { StartWorker(DataThreadProc, "data"); }
void StartUpdaterThread() { StartWorker(UpdaterThreadProc, "self-update"); }

void StartDescriptorFetch(HWND window, unsigned message, std::chrono::milliseconds budget) {
  auto order = std::make_unique<FetchOrder>(FetchOrder{window, message, budget});
  if (StartWorker(FetchThreadProc, "descriptor", order.get())) {
    order.release();  // the thread owns it now
  } else {
    ::PostMessageW(window, message, 0, 0);  // the schedule must not wait for a fetch that never ran
  }
}

}  // namespace zt
