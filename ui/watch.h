// The device watch: the one-second schedule of the main window and the decision taken after each
// device poll (report up to date, start the data-update program, or point the user to the full
// upgrade package). Portable: the main window implements WatchHost and forwards its watch and
// forget timers here; every Windows call stays on the host's side.
#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <utility>
#include <string>
#include <string_view>

#include "ui/fetch_backoff.h"

namespace zt {

// "%d" of a 32-bit value: the bit pattern read as signed, as the balloon has always shown it.
inline std::string SignedDecimal(std::uint32_t value) { return std::to_string(static_cast<std::int32_t>(value)); }

inline constexpr std::uint32_t kWatchPeriodMs = 1000;
// Ticks, not time: the schedule counts the watch timer's ticks (the window's thread never blocks on
// the network or the data-update program, so they keep a second's pace).
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

// Writes of one data version to one device that may fail before the tool stops starting the
// program by itself; then the user's press of the start button (or the vendor) is the way on.
inline constexpr int kAutomaticWrites = 2;

// Failed writes per device identity and data version, this run of the tool.
class WriteFailures {
 public:
  int Count(const std::string& identity, std::uint32_t newest) const;
  void Record(const std::string& identity, std::uint32_t newest, bool written);
  // The user asked for a start: every device may be tried again.
  void Forgive() { m_counts.clear(); }

 private:
  std::map<std::pair<std::string, std::uint32_t>, int> m_counts;
};

enum class WatchOutcome {
  NoDevice,         // nothing found: nothing said, nothing remembered
  UpToDate,         // reported: the device holds the newest data or newer
  Older,            // reported and the data-update program asked to start
  MajorUpdate,      // reported: too far behind for the data-update program; nothing started
  AlreadyReported,  // same identity as the last report: silent until the forget timer fires
  LaunchSpacing,    // newer data, but too soon after the last launch (or program start)
  Held,             // reported older, but its writes failed kAutomaticWrites times: nothing started
};

// Why the server's descriptor is fetched; one fetch may serve both.
enum class FetchPurpose : unsigned {
  Refresh = 1,       // the information refresh found the local files missing
  UpdaterCheck = 2,  // the scheduled self-update check
};
// How long a fetch started for `purpose` may take: the information refresh retries soon, the
// scheduled check waits longer for a slow server. Neither holds the window: it runs on a worker.
std::chrono::milliseconds FetchBudget(FetchPurpose purpose);

// Where the schedule stands with the descriptor fetch, as one value.
struct FetchState {
  // A data check waits for the fetch that runs (it works on what that fetch brings), then for the
  // worker that fetch may have started.
  enum class DataCheck { None, WaitsForFetch, Due };
  unsigned purposes = 0;  // why the running fetch was asked for (FetchPurpose bits); 0: none runs
  DataCheck dataCheck = DataCheck::None;
  bool Running() const { return purposes != 0; }
};

// What the main window provides to the watch. Calls come on the main thread, in the order the
// schedule gives; IsBusy is asked again before every step that it gates, because the steps
// before it (RefreshInfo, the descriptor fetch) may have changed it.
class WatchHost {
 public:
  virtual ~WatchHost() = default;
  virtual bool IsBusy() = 0;  // m_bBusy
  virtual void RefreshInfo() = 0;
  // Starts fetching the server's descriptor on a worker (never on the window's thread), within
  // FetchBudget(first); its end comes back on this thread through DeviceWatch::OnFetchDone, the
  // fetched descriptor already judged and stored.
  virtual void StartDescriptorFetch(FetchPurpose first) = 0;
  virtual void StartUpdaterThread() = 0;
  virtual void LoadLocalVersion() = 0;
  virtual void StartDataThread() = 0;
  virtual DevicePoll PollDevice() = 0;             // open, query, close on a fresh device object
  virtual std::string InstalledDataVersion() = 0;  // m_strDataVersion, raw descriptor bytes
  virtual void ShowBalloon(const std::string& utf8) = 0;
  virtual void SetForgetTimer(std::uint32_t ms) = 0;  // (re)starts IDT_FORGET_DEVICE
  // Starts writing `device` (found older than `newest`); the end comes back through
  // DeviceWatch::OnWriteEnded. May refuse (then it says why itself); never waits for the program.
  virtual void LaunchDataUpdater(const DevicePoll& device, std::uint32_t newest) = 0;
  // The writes of this device failed too often: the start button is the way on now.
  virtual void OfferStartButton() = 0;
  virtual void Log(std::string_view event, std::string_view details) = 0;
};

// The balloon texts with their numbers in, as "%d" would print them (signed decimal).
std::string UpToDateText(std::uint32_t deviceVersion);
std::string MajorUpdateText(std::uint32_t deviceVersion, std::uint32_t newestVersion);
// An older device whose writes failed kAutomaticWrites times: nothing starts by itself.
std::string HeldText(std::uint32_t deviceVersion);
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
  // The fetch has ended (`accepted`: the server text is the fetched descriptor): continues where
  // the schedule waited for it.
  void OnFetchDone(bool accepted);
  // The decision for one poll result at the current tick; also logs the result when found.
  WatchOutcome Decide(const DevicePoll& poll);
  // A write started by the decision has ended (`written`: the device was read back current). The
  // launch spacing counts from now; a failed write counts against its device and data version.
  void OnWriteEnded(const std::string& identity, std::uint32_t newest, bool written);
  // The user pressed the start button: the devices held back may be written again.
  void OnUserStart() { m_writeFailures.Forgive(); }
  int WriteFailuresOf(const std::string& identity, std::uint32_t newest) const {
    return m_writeFailures.Count(identity, newest);
  }

  std::uint32_t Tick() const { return g_nTick; }
  // The decision's memory (g_nLastLaunchTick, m_strLastDevice), as the window's record shows it.
  std::uint32_t LastLaunchTick() const { return g_nLastLaunchTick; }
  const std::string& LastDevice() const { return m_strLastDevice; }

 private:
  bool IdentityDiffers(const std::string& id) const;
  // A poll that found nothing: a device that is there but silent is logged once.
  void NoteNothingFound(const DevicePoll& poll);
  // What the decision's outcome does: remember, say, start, time the forgetting.
  void Act(WatchOutcome outcome, const DevicePoll& poll, std::uint32_t newest);
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
  FetchState m_fetch;
  WriteFailures m_writeFailures;
  // The last silent decision logged; repeats of it (every third tick while a device stays
  // connected) are left out of the log until something else happens.
  std::string m_strLastQuietLog;
};

}  // namespace zt
