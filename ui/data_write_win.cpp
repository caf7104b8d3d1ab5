#include "ui/data_write_win.h"

#include <chrono>
#include <mutex>

#include "base/ids.h"
#include "base/log.h"
#include "base/thread.h"
#include "ui/watch_host_win.h"
#include "win/window_poster.h"

namespace zt {
namespace {

constexpr DWORD kDataUpdaterWaitMs = 30 * 60 * 1000;
constexpr DWORD kReadBackPollMs = 1000;
constexpr wchar_t kShutdownReason[] = L"正在写入设备数据，请勿关机或拔出设备";

}  // namespace

struct DataWriteSession::Shared {
  std::mutex mutex;
  WriteRun run;
};

DevicePoll ReadBackDevice(std::uint32_t newest, bool seenBefore) {
  const auto start = std::chrono::steady_clock::now();
  std::optional<std::chrono::steady_clock::time_point> olderSince;
  for (;;) {
    const DevicePoll poll = PollAttachedDevice();
    const auto now = std::chrono::steady_clock::now();
    if (poll.found) {
      if (newest <= poll.dataVersion) return poll;
      if (!olderSince) olderSince = now;
      if (now - *olderSince >= std::chrono::milliseconds(kReadBackSettleMs)) return poll;
    } else if (!seenBefore) {
      return poll;  // no device before, none now: nothing was written
    } else {
      olderSince.reset();  // it dropped off the bus: it may come back with the new data
    }
    if (now - start >= std::chrono::milliseconds(kReadBackMs)) return poll;
    ::Sleep(kReadBackPollMs);
  }
}

DataWriteSession::DataWriteSession(HWND window, DataProgramLaunch launch, UniqueKernelHandle process, DevicePoll device,
                                   std::uint32_t newest)
    : m_window(window),
      m_launch(std::move(launch)),
      m_device(std::move(device)),
      m_newest(newest),
      m_shared(std::make_shared<Shared>()) {
  // The PC stays up while the device is written: no sleep, and a shutdown asks the user first.
  ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  if (!::ShutdownBlockReasonCreate(m_window, kShutdownReason)) LogEvent("updater-launch", "no shutdown reason set");
  auto shared = m_shared;
  auto owned = std::make_shared<UniqueKernelHandle>(std::move(process));
  const bool seenBefore = m_device.found;
  m_watching = StartDetached("updater-launch", [shared, owned, newest, seenBefore] {
    struct DoneAtEnd {
      ~DoneAtEnd() { PostToMainWindow(WM_DATA_WRITE_DONE); }
    } done;
    WriteRun run;
    run.ended = ::WaitForSingleObject(owned->get(), kDataUpdaterWaitMs) == WAIT_OBJECT_0;
    if (run.ended) {
      DWORD status = 0;
      ::GetExitCodeProcess(owned->get(), &status);
      run.exitCode = status;
      LogEvent("updater-launch",
               "the data-update program ended with status " + std::to_string(status) + "; reading the device back");
      // The program owned the device while it ran: only now is it asked again.
      run.readBack = ReadBackDevice(newest, seenBefore);
    } else {
      LogEvent("updater-launch", "stopped waiting after 30 minutes");
    }
    std::lock_guard lock(shared->mutex);
    shared->run = std::move(run);
  });
}

DataWriteSession::~DataWriteSession() {
  ::ShutdownBlockReasonDestroy(m_window);
  ::SetThreadExecutionState(ES_CONTINUOUS);
}

WriteRun DataWriteSession::Result() const {
  std::lock_guard lock(m_shared->mutex);
  return m_shared->run;
}

}  // namespace zt
