// The worker threads: the portable procedures wired to the application's shared descriptor state,
// WinINet, the built-in trust, the shared update folder, this user's state and the main window.
#include <windows.h>

#include <memory>

#include "base/descriptor_state.h"
#include "base/ids.h"
#include "base/fsutil.h"
#include "base/log.h"
#include "base/notice.h"
#include "base/paths.h"
#include "update/user_state_win.h"
#include "update/crypto_win.h"
#include "update/downloads.h"
#include "update/downloads_win.h"
#include "update/pe_image.h"
#include "update/self_update_win.h"
#include "update/shared_folder_win.h"
#include "win/error.h"
#include "win/process.h"
#include "win/window_poster.h"
#include "win/text.h"

namespace zt {
namespace {

WinInetDownloader PackageDownloader() {
  return WinInetDownloader({UpdateServerAddress(), PathFromUtf8(kDownloadFolder)}, kPackageBudget);
}

// The procedures' view of the process: the shared descriptor, the built-in trust, the update
// folder, this user's state and the main window.
struct WorkerContext {
  WinInetDownloader downloader = PackageDownloader();
  WindowNotices notices;
  UpdateContext context{TheDescriptorState(),
                        downloader,
                        notices,
                        BuiltInTrust(),
                        TheSharedFolder(),
                        TheUserState(),
                        [](std::string_view value) { return GbkToUtf8(value); }};
};

// The processor this build runs as: a new executable for another one is refused.
constexpr std::uint16_t kOwnMachine =
#if defined(_WIN64)
    kMachineX64;
#else
    kMachineX86;
#endif

// A worker's whole body sits inside one catch-all: no exception ends the process.
DWORD WINAPI DataThreadProc(LPVOID) {
  try {
    WorkerContext w;
    const DataPaths paths{PathFromUtf8(kUpdateRoot), PathFromUtf8(kDownloadFolder), MoveReplacing};
    const int installed = RunDataProcedure(w.context, paths);
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
    WorkerContext w;
    HandleSwap swap;
    FolderReplaceabilityCheck check;
    const UpdaterPaths paths{PathFromUtf8(GetModulePath()), PathFromUtf8(kDownloadFolder), kAppVersion, kOwnMachine,
                             MoveReplacing};
    return static_cast<DWORD>(RunUpdaterProcedure(w.context, swap, check, paths));
  } catch (...) {
    LogEvent("self-update", "stopped by an unexpected error");
    return 0;
  }
}

DWORD WINAPI FetchThreadProc(LPVOID parameter) {
  const std::unique_ptr<std::chrono::milliseconds> budget(static_cast<std::chrono::milliseconds*>(parameter));
  int stored = 0;
  try {
    // The fetched descriptor lands in the folder every account shares: one tool at a time.
    std::string busy;
    if (const auto lock = TheSharedFolder().Lock(busy)) {
      stored = DownloadFile(kDescriptorName, 0, *budget);
    } else {
      LogEvent("descriptor", "not fetched now: " + busy);
    }
  } catch (...) {
    LogEvent("descriptor", "the fetch stopped by an unexpected error");
  }
  // The window goes on from here; a window that has gone meanwhile simply never gets it.
  PostToMainWindow(WM_FETCH_DONE, stored != 0 ? 1 : 0);
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

bool TakeFetchedDescriptor(bool stored) {
  const auto file = PathFromUtf8(kDownloadFolder) / kDescriptorName;
  std::string refusal;
  const auto check = [](std::string_view fetched, std::string_view installed) {
    return BuiltInTrust().AcceptFetched(fetched, installed, TheUserState());
  };
  const bool ok = TheDescriptorState().TakeDownloadedServerText(stored, file, check, &refusal);
  if (!refusal.empty()) {
    // Used by nothing, kept by nothing: the tool goes on as if the server could not be reached.
    std::error_code ec;
    std::filesystem::remove(file, ec);
    LogEvent("descriptor", "server version.txt refused: " + refusal);
  } else if (!ok) {
    LogEvent("descriptor",
             stored ? "server version.txt stored but unreadable or empty" : "server version.txt not downloaded");
  }
  return ok;
}

void StartDescriptorFetch(std::chrono::milliseconds budget) {
  auto order = std::make_unique<std::chrono::milliseconds>(budget);
  if (StartWorker(FetchThreadProc, "descriptor", order.get())) {
    static_cast<void>(order.release());  // the thread owns it now
  } else {
    PostToMainWindow(WM_FETCH_DONE, 0);  // the schedule must not wait for a fetch that never ran
  }
}

}  // namespace zt
