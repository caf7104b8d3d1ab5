// The worker threads: the portable procedures wired to the application's shared descriptor state,
// WinINet, the built-in trust, the shared update folder, this user's own folder and state, the
// history and the main window.
#include <windows.h>

#include "base/descriptor_state.h"
#include "base/fsutil.h"
#include "base/history.h"
#include "base/ids.h"
#include "base/log.h"
#include "base/notice.h"
#include "base/paths.h"
#include "base/thread.h"
#include "update/trust/crypto_win.h"
#include "update/install/descriptor_fetch.h"
#include "update/downloads.h"
#include "update/net/downloads_win.h"
#include "update/net/network_cost_win.h"
#include "update/trust/pe_image.h"
#include "update/install/self_update_win.h"
#include "update/install/shared_folder_win.h"
#include "update/trust/user_state_win.h"
#include "win/process.h"
#include "win/text.h"
#include "win/window_poster.h"

namespace zt {
namespace {

// The processor this build runs as: it reads its own executable's keys, and a new executable for
// another one is refused.
constexpr std::uint16_t kOwnMachine =
#if defined(_WIN64)
    kMachineX64;
#else
    kMachineX86;
#endif

std::string Shown(std::string_view value) { return GbkToUtf8(value); }

// The procedures' view of the process for downloads into `folder`: the shared descriptor, the
// built-in trust, the update folder, this user's state, the history and the main window.
struct WorkerContext {
  explicit WorkerContext(std::filesystem::path folder)
      : downloader({UpdateServerAddress(), std::move(folder)}, kPackageBudget) {}
  WinInetDownloader downloader;
  WindowNotices notices;
  UpdateContext context{TheDescriptorState(), downloader,     notices, BuiltInTrust(),
                        TheSharedFolder(),    TheUserState(), Shown,   [](const Outcome& o) { RecordOutcome(o); },
                        ConnectionMetered};
};

int RunData(bool fetchOnMetered) {
  WorkerContext w(SharedDownloadFolder());
  w.context.fetchOnMetered = fetchOnMetered;
  const DataPaths paths{SharedRoot(), SharedDownloadFolder(), MoveReplacing};
  const int installed = RunDataProcedure(w.context, paths);
  // A notice (no room for the package, for one) has done its work once a package is in place.
  if (installed == 1) ClearInfoNotice();
  return installed;
}

int RunUpdater(bool fetchOnMetered) {
  const std::filesystem::path own = OwnDownloadFolder();
  if (own.empty()) {
    LogEvent("self-update", "no folder of this user's own to fetch a new version into");
    WindowNotices().UpdaterDone(false);
    return 0;
  }
  WorkerContext w(own);
  w.context.fetchOnMetered = fetchOnMetered;
  HandleSwap swap;
  FolderReplaceabilityCheck check;
  const UpdaterPaths paths{PathFromUtf8(GetModulePath()), own, kAppVersion, kOwnMachine, MoveReplacing};
  return RunUpdaterProcedure(w.context, swap, check, paths);
}

// Fetches and judges the server's descriptor; true when it was accepted.
bool FetchDescriptor(std::chrono::milliseconds budget) {
  // Into this user's own folder, without the machine-wide lock: no other account can keep this
  // tool from learning what the server offers.
  const std::filesystem::path own = OwnDownloadFolder();
  if (own.empty()) {
    LogEvent("descriptor", "not fetched: no folder of this user's own to fetch it into");
    return false;
  }
  WinInetDownloader downloader({UpdateServerAddress(), own}, budget);
  DescriptorFetch fetch{TheDescriptorState(),
                        downloader,
                        BuiltInTrust(),
                        TheUserState(),
                        own,
                        [](const Outcome& o) { RecordOutcome(o); },
                        Shown};
  return FetchServerDescriptor(fetch) == FetchResult::Accepted;
}

}  // namespace

std::filesystem::path OwnDownloadFolder() {
  const std::filesystem::path own = PrivateFolder();
  if (own.empty()) return {};
  std::error_code ec;
  std::filesystem::create_directories(own / kDownloadFolderName, ec);
  return own / kDownloadFolderName;
}

void StartDataThread(bool fetchOnMetered) {
  StartDetached("data", [fetchOnMetered] { RunData(fetchOnMetered); });
}
void StartUpdaterThread(bool fetchOnMetered) {
  StartDetached("self-update", [fetchOnMetered] { RunUpdater(fetchOnMetered); });
}

void StartDescriptorFetch(std::chrono::milliseconds budget) {
  const bool started = StartDetached("descriptor", [budget] {
    // The schedule waits for this word: it comes however the fetch ends.
    bool accepted = false;
    struct DoneAtEnd {
      const bool& accepted;
      ~DoneAtEnd() { PostToMainWindow(WM_FETCH_DONE, accepted ? 1 : 0); }
    } done{accepted};
    accepted = FetchDescriptor(budget);
  });
  if (!started) PostToMainWindow(WM_FETCH_DONE, 0);  // the schedule must not wait for a fetch that never ran
}

}  // namespace zt
