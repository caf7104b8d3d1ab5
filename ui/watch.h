// The device watch: the one-second schedule of the main window and the decision taken after each
// device poll (report up to date, start the data-update program, or point the user to the full
// upgrade package). Portable: the main window implements WatchHost and forwards its watch and
// forget timers here; every Windows call stays on the host's side.
#pragma once
#include <cstdint>
#include <utility>
#include <string>
#include <string_view>

#include "ui/fetch_backoff.h"

namespace zt {

inline constexpr std::uint32_t kWatchPeriodMs = 1000;
// Ticks, not time: ticks stop while the main thread blocks (descriptor fetch, data-update wait).
inline constexpr std::uint32_t kCheckPeriodTicks = 7200;
inline constexpr std::uint32_t kFirstUpdaterCheckTick = 151;
inline constexpr std::uint32_t kUpdaterCheckPhase = 7100;
inline constexpr std::uint32_t kFirstDataCheckTick = 155;
inline constexpr std::uint32_t kDataCheckPhase = 7190;
// An older or major-update report needs more than this many ticks since the last launch.
inline constexpr std::uint32_t kLaunchSpacingTicks = 40;
// Data up to this version cannot be brought past it by the data-update program.
inline constexpr std::uint32_t kLastVersionBeforeMajor = 9318;
inline constexpr std::uint32_t kForgetAfterReportMs = 300000;
inline constexpr std::uint32_t kForgetAfterMajorMs = 20000;
// m_strLastDevice when no device is remembered.
inline constexpr std::string_view kNoDeviceRemembered = "XX";

inline constexpr std::string_view kBalloonUpToDate = "当前连接的产品数据已经是最新版%d";
inline constexpr std::string_view kBalloonOlder = "当前连接的产品数据版本较旧。\r\n正在启动数据升级，请确认。";
inline constexpr std::string_view kBalloonMajor =
    "由于当前连接的产品数据版本为%d，而最新数据版本为%d有较大更新。\r\n"
    "暂不能启用自动更新，请登录网站下载对应机型的完整升级包。";

// One device poll, as the host's device link saw it (handles already closed).
struct DevicePoll {
  bool found = false;             // a device was opened and its data-version query succeeded
  std::uint32_t dataVersion = 0;  // the device's m_nDataVersion (D)
  std::string identity;           // identity bytes as read; empty when they could not be read
  std::string flashName;          // flash-type row for the reported flash id; empty when unknown
  std::string flashSize;
  std::string problem;  // a device was opened but gave no valid answer: why
};

enum class WatchOutcome {
  NoDevice,         // nothing found: nothing said, nothing remembered
  UpToDate,         // reported: the device holds the newest data or newer
  Older,            // reported and the data-update program asked to start
  MajorUpdate,      // reported: too far behind for the data-update program; nothing started
  AlreadyReported,  // same identity as the last report: silent until the forget timer fires
  LaunchSpacing,    // newer data, but too soon after the last launch (or program start)
};

// Why the server's descriptor is fetched; one fetch may serve both.
enum class FetchPurpose : unsigned {
  Refresh = 1,       // the information refresh found the local files missing
  UpdaterCheck = 2,  // the scheduled self-update check
};

// What the main window provides to the watch. Calls come on the main thread, in the order the
// schedule gives; IsBusy is asked again before every step that it gates, because the steps
// before it (RefreshInfo, the descriptor fetch) may have changed it.
class WatchHost {
 public:
  virtual ~WatchHost() = default;
  virtual bool IsBusy() = 0;  // m_bBusy
  virtual void RefreshInfo() = 0;
  // Starts fetching the server's descriptor on a worker (never on the window's thread); its end
  // comes back on this thread through DeviceWatch::OnFetchDone, the server text already stored.
  virtual void StartDescriptorFetch(FetchPurpose first) = 0;
  virtual void StartUpdaterThread() = 0;
  virtual void LoadLocalVersion() = 0;
  virtual void StartDataThread() = 0;
  virtual DevicePoll PollDevice() = 0;             // open, query, close on a fresh device object
  virtual std::string InstalledDataVersion() = 0;  // m_strDataVersion, raw descriptor bytes
  virtual void ShowBalloon(const std::string& utf8) = 0;
  virtual void SetForgetTimer(std::uint32_t ms) = 0;  // (re)starts IDT_FORGET_DEVICE
  virtual void LaunchDataUpdater() = 0;               // may refuse; may block for a long time
  virtual void Log(std::string_view event, std::string_view details) = 0;
};

// The three balloon texts with their numbers in, as "%d" would print them (signed decimal).
std::string UpToDateText(std::uint32_t deviceVersion);
std::string MajorUpdateText(std::uint32_t deviceVersion, std::uint32_t newestVersion);
// Bytes as a log can show them: printable ASCII kept, anything else as \xNN.
std::string PrintableBytes(std::string_view bytes);

class DeviceWatch {
 public:
  explicit DeviceWatch(WatchHost& host) : m_host(host) {}

  // IDT_WATCH: one tick of the schedule, poll and decision included.
  void OnWatchTick();
  // IDT_FORGET_DEVICE: the device last reported may be reported again.
  void OnForgetTick();
  // A device arrived (WM_DEVICECHANGE): one poll at once, under every rule of the watch.
  void OnDeviceArrival();

  // A fetch of the server's descriptor for `purpose`; a request while one runs joins it.
  void RequestFetch(FetchPurpose purpose);
  // The information refresh's fetch, when its back-off allows one now (after failed fetches the
  // wait doubles, so a dead network cannot keep the window busy).
  void RequestRefreshFetch();
  const FetchBackoff& RefreshBackoff() const { return m_fetchBackoff; }
  bool FetchRunning() const { return m_bFetching; }
  // The fetch has ended: continues where the schedule waited for it.
  void OnFetchDone(bool fetched);
  // The decision for one poll result at the current tick; also logs the result when found.
  WatchOutcome Decide(const DevicePoll& poll);

  std::uint32_t Tick() const { return g_nTick; }
  std::uint32_t LastLaunchTick() const { return g_nLastLaunchTick; }
  const std::string& LastDevice() const { return m_strLastDevice; }

 private:
  bool IdentityDiffers(const std::string& id) const;
  void Remember(const std::string& id);
  void LogDecision(const DevicePoll& poll, std::uint32_t newest, WatchOutcome outcome);
  // A device line carries the tick: it tells support where in the schedule a report fell.
  void LogDevice(const std::string& details);

  WatchHost& m_host;
  std::uint32_t g_nTick = 0;
  std::uint32_t g_nLastLaunchTick = 0;
  std::string m_strLastDevice{kNoDeviceRemembered};
  // Whether m_strLastDevice holds a reported identity: a device whose identity happens to read
  // "XX" must still be reported, so "none" is not told apart by the text alone.
  bool m_bDeviceRemembered = false;
  FetchBackoff m_fetchBackoff;
  bool m_bFetching = false;
  unsigned m_nFetchPurposes = 0;
  // A data check that came while the fetch before it still ran: it runs at the tick after the
  // fetch ended, so that an updater download started by that fetch has made the window busy.
  bool m_bDataCheckWaiting = false;
  bool m_bDataCheckDue = false;
  // The last silent decision logged; repeats of it (every third tick while a device stays
  // connected) are left out of the log until something else happens.
  std::string m_strLastQuietLog;
};

}  // namespace zt
