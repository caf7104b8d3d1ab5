// The watch schedule and the update decision, driven through a recording host.
#include "ui/watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

using zt::DevicePoll;
using zt::DeviceWatch;
using zt::WatchOutcome;

const std::string kOlder = "当前连接的产品数据版本较旧。\r\n正在启动数据升级，请确认。";

// Records every host call as one short line, in order.
class FakeHost : public zt::WatchHost {
 public:
  bool busy = false;
  bool recording = true;
  std::string installed = "2002";
  DevicePoll device;  // what every poll returns
  std::vector<std::string> calls;
  std::vector<std::string> logs;
  // Optional side effects, to model steps that change the busy flag.
  std::function<void()> onRefresh, onFetch, onUpdater, onLaunch;
  // A fetch ends at once (as if it took no time) unless the test ends it itself.
  DeviceWatch* watch = nullptr;
  bool fetchEndsAtOnce = true;

  bool IsBusy() override {
    Note("busy?");
    return busy;
  }
  void RefreshInfo() override {
    Note("refresh");
    if (onRefresh) onRefresh();
  }
  void StartDescriptorFetch(zt::FetchPurpose) override {
    Note("fetch");
    if (onFetch) onFetch();
    if (fetchEndsAtOnce && watch) watch->OnFetchDone(true);
  }
  void StartUpdaterThread() override {
    Note("updater");
    if (onUpdater) onUpdater();
  }
  void LoadLocalVersion() override { Note("load"); }
  void StartDataThread() override { Note("data"); }
  DevicePoll PollDevice() override {
    Note("poll");
    return device;
  }
  std::string InstalledDataVersion() override { return installed; }
  void ShowBalloon(const std::string& utf8) override { Note("balloon:" + utf8); }
  void SetForgetTimer(std::uint32_t ms) override { Note("timer:" + std::to_string(ms)); }
  void LaunchDataUpdater(const DevicePoll&, std::uint32_t) override {
    Note("launch");
    if (onLaunch) onLaunch();
  }
  void OfferStartButton() override { Note("start button"); }
  void Log(std::string_view event, std::string_view details) override {
    if (recording) logs.push_back(std::string(event) + " " + std::string(details));
  }

  // The calls without the busy queries, which the schedule tests look at separately.
  std::vector<std::string> Actions() const {
    std::vector<std::string> out;
    for (const auto& c : calls)
      if (c != "busy?") out.push_back(c);
    return out;
  }
  void Clear() {
    calls.clear();
    logs.clear();
  }

 private:
  void Note(std::string call) {
    if (recording) calls.push_back(std::move(call));
  }
};

DevicePoll Device(std::uint32_t version, std::string id) {
  DevicePoll p;
  p.found = true;
  p.dataVersion = version;
  p.identity = std::move(id);
  return p;
}

// Ticks the watch up to `tick` with nothing recorded and nothing found.
void AdvanceTo(DeviceWatch& watch, FakeHost& host, std::uint32_t tick) {
  const bool busy = host.busy;
  const DevicePoll device = host.device;
  host.recording = false;
  host.busy = true;
  host.device = DevicePoll{};
  while (watch.Tick() < tick) watch.OnWatchTick();
  host.recording = true;
  host.busy = busy;
  host.device = device;
}

using Calls = std::vector<std::string>;

// ---------------------------------------------------------------------------------------------
// Schedule

TEST(WatchSchedule, FirstTicksCountEachStepExactlyWhereDue) {
  FakeHost host;
  DeviceWatch watch(host);
  host.watch = &watch;
  std::vector<std::uint32_t> refresh, poll, fetch, load;
  for (std::uint32_t t = 1; t <= 160; ++t) {
    host.Clear();
    watch.OnWatchTick();
    ASSERT_EQ(watch.Tick(), t);
    for (const auto& c : host.Actions()) {
      if (c == "refresh") refresh.push_back(t);
      if (c == "poll") poll.push_back(t);
      if (c == "fetch") fetch.push_back(t);
      if (c == "load") load.push_back(t);
    }
  }
  ASSERT_EQ(refresh.size(), 54u);  // 1, 4, ..., 160
  ASSERT_EQ(poll.size(), 53u);     // 3, 6, ..., 159
  for (auto t : refresh) EXPECT_EQ(t % 3, 1u) << t;
  for (auto t : poll) EXPECT_EQ(t % 3, 0u) << t;
  EXPECT_EQ(refresh.front(), 1u);
  EXPECT_EQ(poll.front(), 3u);
  EXPECT_EQ(fetch, (std::vector<std::uint32_t>{151}));
  EXPECT_EQ(load, (std::vector<std::uint32_t>{155}));
}

struct ScheduleRow {
  std::uint32_t tick;
  bool busy;
  Calls actions;  // host calls of that tick, busy queries left out
};

TEST(WatchSchedule, TicksAroundTheChecks) {
  const std::vector<ScheduleRow> rows = {
      {1, false, {"refresh"}},
      {2, false, {}},
      {3, false, {"poll"}},
      {3, true, {}},
      {4, true, {"refresh"}},
      {150, false, {"poll"}},
      {151, false, {"refresh", "fetch", "updater"}},
      {151, true, {"refresh"}},
      {152, false, {}},
      {153, true, {}},
      {154, false, {"refresh"}},
      {155, false, {"load", "data"}},
      {155, true, {}},
      {156, false, {"poll"}},
      {7099, false, {"refresh"}},
      {7100, false, {"fetch", "updater"}},
      {7100, true, {}},
      {7101, false, {"poll"}},
      {7189, false, {"refresh"}},
      {7190, false, {"load", "data"}},
      {7190, true, {}},
      {7191, false, {"poll"}},
      {7351, false, {"refresh"}},  // 151 + 7200: the first checks do not repeat
      {7355, false, {}},
      {14299, false, {"refresh"}},
      {14300, false, {"fetch", "updater"}},
      {14300, true, {}},
      {14301, false, {"poll"}},
      {14389, false, {"refresh"}},
      {14390, false, {"load", "data"}},
      {14390, true, {}},
      {14391, false, {"poll"}},
      {21500, false, {"fetch", "updater"}},
      {21590, false, {"load", "data"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("tick " + std::to_string(row.tick) + (row.busy ? " busy" : ""));
    FakeHost host;
    DeviceWatch watch(host);
    host.watch = &watch;
    AdvanceTo(watch, host, row.tick - 1);
    host.busy = row.busy;
    watch.OnWatchTick();
    EXPECT_EQ(host.Actions(), row.actions);
  }
}

TEST(WatchSchedule, ChecksAreLoggedAndBusySkipsAreSaid) {
  struct Row {
    std::uint32_t tick;
    bool busy;
    std::vector<std::string> logs;
  };
  const std::vector<Row> rows = {
      {151, false, {"check updater check at tick 151"}},
      {151, true, {"check updater check at tick 151 skipped: busy"}},
      {7190, false, {"check data check at tick 7190"}},
      {7190, true, {"check data check at tick 7190 skipped: busy"}},
      {150, false, {}},  // an empty poll leaves no line
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.tick);
    FakeHost host;
    DeviceWatch watch(host);
    host.watch = &watch;
    AdvanceTo(watch, host, row.tick - 1);
    host.busy = row.busy;
    watch.OnWatchTick();
    EXPECT_EQ(host.logs, row.logs);
  }
}

// The busy flag is asked for after the steps that may have changed it.
TEST(WatchSchedule, BusyIsReadAfterTheStepsBeforeIt) {
  {
    // The refresh at tick 151 starts a download: no fetch follows in the same tick.
    FakeHost host;
    DeviceWatch watch(host);
    host.watch = &watch;
    AdvanceTo(watch, host, 150);
    host.onRefresh = [&] { host.busy = true; };
    watch.OnWatchTick();
    EXPECT_EQ(host.calls, (Calls{"refresh", "busy?"}));
  }
  {
    // The flag is asked once per gated step, at the moment of that step.
    FakeHost host;
    DeviceWatch watch(host);
    host.watch = &watch;
    AdvanceTo(watch, host, 150);
    watch.OnWatchTick();
    // The fetch's end asks again: a download may have made the window busy meanwhile.
    EXPECT_EQ(host.calls, (Calls{"refresh", "busy?", "fetch", "busy?", "updater"}));
    AdvanceTo(watch, host, 154);
    host.Clear();
    watch.OnWatchTick();
    EXPECT_EQ(host.calls, (Calls{"busy?", "load", "data"}));
    host.Clear();
    watch.OnWatchTick();
    EXPECT_EQ(host.calls, (Calls{"busy?", "poll"}));
  }
  {
    // Busy only after the tick's refresh: the poll of a later tick is held back, the next free
    // one goes ahead.
    FakeHost host;
    DeviceWatch watch(host);
    host.watch = &watch;
    AdvanceTo(watch, host, 3);
    host.onRefresh = [&] { host.busy = true; };
    watch.OnWatchTick();  // 4
    watch.OnWatchTick();  // 5
    watch.OnWatchTick();  // 6
    EXPECT_EQ(host.Actions(), (Calls{"refresh"}));
    host.onRefresh = nullptr;
    host.busy = false;
    host.Clear();
    for (int i = 0; i < 3; ++i) watch.OnWatchTick();  // 7, 8, 9
    EXPECT_EQ(host.Actions(), (Calls{"refresh", "poll"}));
  }
}

// ---------------------------------------------------------------------------------------------
// The descriptor fetch runs on a worker; the schedule goes on where it went on after it.

TEST(WatchFetch, ItsEndContinuesTheSchedule) {
  struct Row {
    const char* label;
    std::uint32_t endsAtTick;  // the fetch started at tick 151 ends after this tick
    bool busyAtEnd;
    Calls atEnd;         // host calls when it ends
    Calls tickAfterEnd;  // host calls of the next tick (busy queries left out)
  };
  for (const Row& r : {
           Row{"before the data check", 153, false, {"busy?", "updater"}, {"refresh"}},
           Row{"after the data check", 157, false, {"busy?", "updater"}, {"load", "data"}},
           Row{"after the data check, busy by then", 157, true, {"busy?"}, {}},
       }) {
    SCOPED_TRACE(r.label);
    FakeHost host;
    DeviceWatch watch(host);
    host.watch = &watch;
    host.fetchEndsAtOnce = false;
    AdvanceTo(watch, host, 150);
    watch.OnWatchTick();
    EXPECT_EQ(host.Actions(), (Calls{"refresh", "fetch"}));
    host.Clear();
    while (watch.Tick() < r.endsAtTick) watch.OnWatchTick();
    for (const auto& c : host.Actions()) EXPECT_NE(c, "fetch") << "a tick that finds one running starts no other";
    // A data check that came meanwhile did not run without the descriptor it works on.
    EXPECT_EQ(std::find(host.calls.begin(), host.calls.end(), "load"), host.calls.end());
    EXPECT_EQ(
        std::count(host.logs.begin(), host.logs.end(), "check data check at tick 155 waits for the descriptor fetch"),
        r.endsAtTick >= 155 ? 1 : 0);
    host.busy = r.busyAtEnd;
    host.Clear();
    watch.OnFetchDone(true);
    EXPECT_EQ(host.calls, r.atEnd);
    host.Clear();
    AdvanceTo(watch, host, watch.Tick());  // nothing
    watch.OnWatchTick();
    Calls next = host.Actions();
    next.erase(std::remove(next.begin(), next.end(), "poll"), next.end());
    EXPECT_EQ(next, r.tickAfterEnd);
    if (r.busyAtEnd) {
      // The check that waited for the fetch runs at the first tick the worker has left free.
      host.busy = false;
      host.Clear();
      watch.OnWatchTick();
      Calls free = host.Actions();
      std::erase_if(free, [](const std::string& c) { return c == "poll" || c == "refresh"; });
      EXPECT_EQ(free, (Calls{"load", "data"}));
    }
  }
}

// The information refresh joins a fetch that runs already; its end spaces the next refresh fetch
// and then loads, starts the data thread and rebuilds the text.
TEST(WatchFetch, RefreshFetchesShareOneAndAreRecorded) {
  FakeHost host;
  DeviceWatch watch(host);
  host.watch = &watch;
  host.fetchEndsAtOnce = false;
  watch.RequestFetch(zt::FetchPurpose::Refresh);
  watch.RequestFetch(zt::FetchPurpose::Refresh);
  watch.RequestFetch(zt::FetchPurpose::UpdaterCheck);
  EXPECT_EQ(host.Actions(), (Calls{"fetch"}));
  host.Clear();
  watch.OnFetchDone(false);
  EXPECT_EQ(host.Actions(), (Calls{"load", "data", "updater", "refresh"}));
  // The failed refresh fetch spaces the next one: the watch does not ask again until it is due.
  EXPECT_NE(
      std::find(host.logs.begin(), host.logs.end(), "refresh descriptor fetch failed 1 time(s); next try in 3 ticks"),
      host.logs.end());
  host.Clear();
  watch.RequestRefreshFetch();
  EXPECT_EQ(host.Actions(), Calls{});
}

// ---------------------------------------------------------------------------------------------
// Decision: one device, first report, at the first poll that the launch spacing allows.

struct DecisionRow {
  const char* name;
  std::uint32_t device;   // D
  std::string installed;  // m_strDataVersion
  Calls actions;
  std::uint32_t lastLaunchAfter;
};

TEST(WatchDecision, FirstReportAtTick42) {
  const std::string major93189319 =
      "由于当前连接的产品数据版本为9318，而最新数据版本为9319有较大更新。\r\n"
      "暂不能启用自动更新，请登录网站下载对应机型的完整升级包。";
  const Calls older = {"poll", "balloon:" + kOlder, "timer:300000", "launch"};
  auto upToDate = [](const std::string& shown) {
    return Calls{"poll", "balloon:当前连接的产品数据已经是最新版" + shown, "timer:300000"};
  };
  auto major = [](const std::string& d, const std::string& n) {
    return Calls{"poll", "timer:20000",
                 "balloon:由于当前连接的产品数据版本为" + d + "，而最新数据版本为" + n +
                     "有较大更新。\r\n暂不能启用自动更新，请登录网站下载对应机型的完整升级包。"};
  };
  const std::vector<DecisionRow> rows = {
      {"D = N", 2001, "2001", upToDate("2001"), 0},
      {"D > N", 2003, "2001", upToDate("2003"), 0},
      {"N = D + 1", 2001, "2002", older, 42},
      {"9318 to 9319", 9318, "9319", {"poll", "timer:20000", "balloon:" + major93189319}, 0},
      {"9318 to 20000", 9318, "20000", major("9318", "20000"), 0},
      {"1001 to 9319", 1001, "9319", major("1001", "9319"), 0},
      {"9319 to 9400", 9319, "9400", older, 42},
      {"9000 to 9318", 9000, "9318", older, 42},
      {"9317 to 9318", 9317, "9318", older, 42},
      {"9318 = 9318", 9318, "9318", upToDate("9318"), 0},
      {"9319 to 9320", 9319, "9320", older, 42},
      {"D sign bit, compared unsigned", 0x80000000u, "2002", upToDate("-2147483648"), 0},
      {"D all ones", 0xFFFFFFFFu, "9400", upToDate("-1"), 0},
      {"N from abc is 0", 2001, "abc", upToDate("2001"), 0},
      {"N from empty is 0", 1500, "", upToDate("1500"), 0},
      {"N from ' 2001x' is 2001 (older)", 2000, " 2001x", older, 42},
      {"N from ' 2001x' is 2001 (equal)", 2001, " 2001x", upToDate("2001"), 0},
      {"N from '+2002'", 2001, "+2002", older, 42},
      // A negative data_version is a huge unsigned N: beyond the boundary for this device.
      {"N from '-5'", 2001, "-5", major("2001", "-5"), 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FakeHost host;
    DeviceWatch watch(host);
    host.watch = &watch;
    AdvanceTo(watch, host, 41);
    host.installed = row.installed;
    host.device = Device(row.device, "ID000001");
    watch.OnWatchTick();  // 42
    EXPECT_EQ(host.Actions(), row.actions);
    EXPECT_EQ(watch.LastLaunchTick(), row.lastLaunchAfter);
    EXPECT_EQ(watch.LastDevice(), "ID000001");
    // The same device at the next poll: remembered, nothing more.
    host.Clear();
    AdvanceTo(watch, host, 44);
    EXPECT_EQ(watch.Decide(host.device), WatchOutcome::AlreadyReported);
    EXPECT_EQ(host.Actions(), Calls{});
  }
}

TEST(WatchDecision, OutcomeValueMatchesTheActions) {
  struct Row {
    std::uint32_t d;
    const char* n;
    WatchOutcome outcome;
  };
  const std::vector<Row> rows = {
      {2001, "2001", WatchOutcome::UpToDate},     {2001, "2002", WatchOutcome::Older},
      {9318, "9319", WatchOutcome::MajorUpdate},  {9319, "9400", WatchOutcome::Older},
      {0x80000000u, "1", WatchOutcome::UpToDate}, {1001, "-1", WatchOutcome::MajorUpdate},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.d) + " / " + row.n);
    FakeHost host;
    DeviceWatch watch(host);
    host.watch = &watch;
    AdvanceTo(watch, host, 42);
    host.installed = row.n;
    EXPECT_EQ(watch.Decide(Device(row.d, "A")), row.outcome);
  }
}

// ---------------------------------------------------------------------------------------------
// Launch spacing

TEST(WatchDecision, LaunchSpacingAtStartAndAfterALaunch) {
  struct Row {
    const char* name;
    std::uint32_t launchAt;  // 0: no earlier launch
    std::uint32_t decideAt;
    std::uint32_t d;
    WatchOutcome outcome;
  };
  const std::vector<Row> rows = {
      // Allowed from tick 41 on; tick 41 is no poll tick, so the first report comes at 42.
      {"older at 39 after start", 0, 39, 2001, WatchOutcome::LaunchSpacing},
      {"older at 40 after start", 0, 40, 2001, WatchOutcome::LaunchSpacing},
      {"older at 41 after start", 0, 41, 2001, WatchOutcome::Older},
      {"older at 42 after start", 0, 42, 2001, WatchOutcome::Older},
      {"major at 40 after start", 0, 40, 9318, WatchOutcome::LaunchSpacing},
      {"major at 41 after start", 0, 41, 9318, WatchOutcome::MajorUpdate},
      {"up to date needs no spacing", 0, 3, 2002, WatchOutcome::UpToDate},
      {"older 40 ticks after a launch", 42, 82, 2001, WatchOutcome::LaunchSpacing},
      {"older 41 ticks after a launch", 42, 83, 2001, WatchOutcome::Older},
      {"major 40 ticks after a launch", 42, 82, 9318, WatchOutcome::LaunchSpacing},
      {"major 41 ticks after a launch", 42, 83, 9318, WatchOutcome::MajorUpdate},
      {"up to date right after a launch", 42, 43, 2002, WatchOutcome::UpToDate},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FakeHost host;
    DeviceWatch watch(host);
    host.watch = &watch;
    if (row.launchAt != 0) {
      host.installed = "2002";
      AdvanceTo(watch, host, row.launchAt);
      ASSERT_EQ(watch.Decide(Device(2001, "FIRST")), WatchOutcome::Older);
      ASSERT_EQ(watch.LastLaunchTick(), row.launchAt);
    }
    host.installed = row.d == 9318 ? "9319" : "2002";
    AdvanceTo(watch, host, row.decideAt);
    host.Clear();
    EXPECT_EQ(watch.Decide(Device(row.d, "SECOND")), row.outcome);
    if (row.outcome == WatchOutcome::LaunchSpacing) {
      EXPECT_EQ(host.Actions(), Calls{});
      // Nothing remembered: the device is reported once the spacing allows it.
      EXPECT_EQ(watch.LastDevice(), row.launchAt ? "FIRST" : "XX");
    }
  }
}

TEST(WatchDecision, OlderDeviceFromStartIsReportedAtTheFirstAllowedPoll) {
  FakeHost host;
  DeviceWatch watch(host);
  host.watch = &watch;
  host.installed = "2002";
  host.device = Device(2001, "ABCD1234");
  std::vector<std::uint32_t> launches;
  host.onLaunch = [&] { launches.push_back(watch.Tick()); };
  for (int i = 0; i < 200; ++i) watch.OnWatchTick();
  // Reported at 42; the same device is not reported again without the forget timer.
  EXPECT_EQ(launches, (std::vector<std::uint32_t>{42}));
}

TEST(WatchDecision, MajorOutcomeDoesNotCountAsALaunch) {
  FakeHost host;
  DeviceWatch watch(host);
  host.watch = &watch;
  host.installed = "9319";
  AdvanceTo(watch, host, 42);
  ASSERT_EQ(watch.Decide(Device(9318, "MAJOR")), WatchOutcome::MajorUpdate);
  EXPECT_EQ(watch.LastLaunchTick(), 0u);
  AdvanceTo(watch, host, 45);
  host.installed = "9400";
  EXPECT_EQ(watch.Decide(Device(9319, "OTHER")), WatchOutcome::Older);
  EXPECT_EQ(watch.LastLaunchTick(), 45u);
}

TEST(WatchDecision, RefusedLaunchStillSetsTheLaunchTickAndTheMemory) {
  FakeHost host;
  DeviceWatch watch(host);
  host.watch = &watch;
  host.installed = "2002";
  AdvanceTo(watch, host, 60);
  // The host refuses: the data-update program's window exists, nothing is started.
  host.onLaunch = [] {};
  EXPECT_EQ(watch.Decide(Device(2001, "REFUSED")), WatchOutcome::Older);
  EXPECT_EQ(host.Actions(), (Calls{"balloon:" + kOlder, "timer:300000", "launch"}));
  EXPECT_EQ(watch.LastLaunchTick(), 60u);
  EXPECT_EQ(watch.LastDevice(), "REFUSED");
}

TEST(WatchDecision, IdentityAndLaunchTickAreSetBeforeTheLaunch) {
  FakeHost host;
  DeviceWatch watch(host);
  host.watch = &watch;
  host.installed = "2002";
  AdvanceTo(watch, host, 42);
  std::string rememberedDuringLaunch;
  std::uint32_t launchTickDuringLaunch = 99;
  host.onLaunch = [&] {
    rememberedDuringLaunch = watch.LastDevice();
    launchTickDuringLaunch = watch.LastLaunchTick();
  };
  watch.Decide(Device(2001, "DEV1"));
  EXPECT_EQ(rememberedDuringLaunch, "DEV1");
  EXPECT_EQ(launchTickDuringLaunch, 42u);
  EXPECT_EQ(watch.LastLaunchTick(), 42u);
}

// A write that did not take is tried once more at the next report of the same device; after two
// failed writes of one data version to one device nothing starts by itself, until the user
// presses the start button or a new data version comes. The launch spacing counts from a write's end.
TEST(WatchDecision, FailedWritesAreTriedOnceMoreThenLeftToTheUser) {
  FakeHost host;
  DeviceWatch watch(host);
  host.watch = &watch;
  host.installed = "2002";
  struct Step {
    const char* label;
    std::uint32_t tick;
    std::string device;
    bool writtenAfter;  // the write this step started
    WatchOutcome outcome;
  };
  for (const Step& s : {Step{"first report", 42, "DEV1", false, WatchOutcome::Older},
                        Step{"the retry, at the next report", 90, "DEV1", false, WatchOutcome::Older},
                        Step{"held after two failures", 140, "DEV1", false, WatchOutcome::Held},
                        Step{"another device is its own", 190, "DEV2", true, WatchOutcome::Older},
                        Step{"still held at every report", 240, "DEV1", false, WatchOutcome::Held}}) {
    SCOPED_TRACE(s.label);
    AdvanceTo(watch, host, s.tick);
    watch.OnForgetTick();
    host.Clear();
    ASSERT_EQ(watch.Decide(Device(2001, s.device)), s.outcome);
    if (s.outcome == WatchOutcome::Older) {
      EXPECT_EQ(host.Actions().back(), "launch");
      AdvanceTo(watch, host, s.tick + 5);
      watch.OnWriteEnded(s.device, 2002, s.writtenAfter);
      EXPECT_EQ(watch.LastLaunchTick(), s.tick + 5);  // spaced from the write's end
    } else {
      EXPECT_EQ(host.Actions(), (Calls{"balloon:" + zt::HeldText(2001), "timer:300000", "start button"}));
    }
  }
  // A new data version, or the user's press, starts again.
  AdvanceTo(watch, host, 300);
  watch.OnForgetTick();
  host.installed = "2003";
  EXPECT_EQ(watch.Decide(Device(2001, "DEV1")), WatchOutcome::Older);
  host.installed = "2002";
  AdvanceTo(watch, host, 350);
  watch.OnForgetTick();
  EXPECT_EQ(watch.Decide(Device(2001, "DEV1")), WatchOutcome::Held);
  watch.OnUserStart();
  watch.OnForgetTick();
  AdvanceTo(watch, host, 400);
  EXPECT_EQ(watch.Decide(Device(2001, "DEV1")), WatchOutcome::Older);
}

// ---------------------------------------------------------------------------------------------
// Identity memory and the forget timer

TEST(WatchMemory, IdentitiesComparedByteForByte) {
  struct Row {
    const char* name;
    std::string first, second;
    WatchOutcome secondOutcome;
  };
  const std::vector<Row> rows = {
      {"same", "ABCD1234", "ABCD1234", WatchOutcome::AlreadyReported},
      {"other", "ABCD1234", "ABCD1235", WatchOutcome::UpToDate},
      {"case differs", "abcd", "ABCD", WatchOutcome::UpToDate},
      {"prefix", "ABCD", "ABCD1234", WatchOutcome::UpToDate},
      {"empty remembered like any other", "", "", WatchOutcome::AlreadyReported},
      {"empty then named", "", "ABCD1234", WatchOutcome::UpToDate},
      {"named then empty", "ABCD1234", "", WatchOutcome::UpToDate},
      {"high bytes", "\xB0\xB2\xC8\xAB", "\xB0\xB2\xC8\xAB", WatchOutcome::AlreadyReported},
      {"high bytes differ", "\xB0\xB2\xC8\xAB", "\xB0\xB2\xC8\xAC", WatchOutcome::UpToDate},
      // "XX" is the text of "none", but a device reading "XX" is still a device.
      {"identity XX reported", "XX", "XX", WatchOutcome::AlreadyReported},
      {"XX then other", "XX", "YY", WatchOutcome::UpToDate},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FakeHost host;
    host.installed = "2001";
    DeviceWatch watch(host);
    host.watch = &watch;
    AdvanceTo(watch, host, 3);
    ASSERT_EQ(watch.Decide(Device(2001, row.first)), WatchOutcome::UpToDate);
    EXPECT_EQ(watch.LastDevice(), row.first);
    AdvanceTo(watch, host, 6);
    EXPECT_EQ(watch.Decide(Device(2001, row.second)), row.secondOutcome);
  }
}

TEST(WatchMemory, SecondDeviceWhileFirstRememberedWaitsOnlyForTheSpacing) {
  FakeHost host;
  DeviceWatch watch(host);
  host.watch = &watch;
  host.installed = "2002";
  AdvanceTo(watch, host, 42);
  ASSERT_EQ(watch.Decide(Device(2001, "FIRST")), WatchOutcome::Older);
  AdvanceTo(watch, host, 45);
  EXPECT_EQ(watch.Decide(Device(2002, "SECOND")), WatchOutcome::UpToDate);
  EXPECT_EQ(watch.Decide(Device(2001, "THIRD")), WatchOutcome::LaunchSpacing);
  AdvanceTo(watch, host, 84);
  EXPECT_EQ(watch.Decide(Device(2001, "THIRD")), WatchOutcome::Older);
}

TEST(WatchMemory, ForgetTickMakesTheSameDeviceReportableAgain) {
  struct Row {
    const char* name;
    std::uint32_t d;
    const char* n;
    const char* timer;
    const char* id;
  };
  const std::vector<Row> rows = {
      {"up to date", 2002, "2002", "timer:300000", "KEEP"},
      {"major", 9318, "9319", "timer:20000", "KEEP"},
      {"older", 2001, "2002", "timer:300000", "KEEP"},
      {"empty identity", 2002, "2002", "timer:300000", ""},
      {"identity that reads XX", 2002, "2002", "timer:300000", "XX"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FakeHost host;
    DeviceWatch watch(host);
    host.watch = &watch;
    host.installed = row.n;
    host.device = Device(row.d, row.id);
    AdvanceTo(watch, host, 41);
    std::uint32_t reports = 0;
    // Three rounds: report, silence while remembered, forget, report again.
    for (int round = 0; round < 3; ++round) {
      host.Clear();
      for (int i = 0; i < 90; ++i) watch.OnWatchTick();
      std::uint32_t timers = 0;
      for (const auto& c : host.calls) timers += c == row.timer;
      EXPECT_EQ(timers, 1u) << "round " << round;
      reports += timers;
      watch.OnForgetTick();
      EXPECT_EQ(watch.LastDevice(), "XX");
    }
    EXPECT_EQ(reports, 3u);
  }
}

TEST(WatchMemory, UnpluggingChangesNothing) {
  FakeHost host;
  DeviceWatch watch(host);
  host.watch = &watch;
  host.installed = "2001";
  host.device = Device(2001, "PLUGGED");
  AdvanceTo(watch, host, 2);
  watch.OnWatchTick();  // 3: reported
  host.device = DevicePoll{};
  host.Clear();
  for (int i = 0; i < 30; ++i) watch.OnWatchTick();
  EXPECT_EQ(watch.LastDevice(), "PLUGGED");
  EXPECT_TRUE(host.logs.empty());
  for (const auto& c : host.calls) EXPECT_TRUE(c == "poll" || c == "refresh" || c == "busy?") << c;
  // Plugged back in: still remembered.
  host.device = Device(2001, "PLUGGED");
  EXPECT_EQ(watch.Decide(host.device), WatchOutcome::AlreadyReported);
}

TEST(WatchMemory, NotFoundIsNotADecision) {
  FakeHost host;
  DeviceWatch watch(host);
  host.watch = &watch;
  AdvanceTo(watch, host, 42);
  DevicePoll silent = Device(2001, "ID");
  silent.found = false;  // version query failed even though an identity was read
  EXPECT_EQ(watch.Decide(silent), WatchOutcome::NoDevice);
  EXPECT_EQ(host.Actions(), Calls{});
  EXPECT_TRUE(host.logs.empty());
  EXPECT_EQ(watch.LastDevice(), "XX");
}

// ---------------------------------------------------------------------------------------------
// Log lines of the decisions

TEST(WatchLog, DecisionLinesCarryTheDeviceAndTheOutcome) {
  struct Row {
    const char* name;
    DevicePoll poll;
    const char* installed;
    std::string line;
  };
  DevicePoll flash = Device(2001, "ABCD1234");
  flash.flashName = "TYPE64";
  flash.flashSize = " 8MB";
  DevicePoll hostile = Device(2001, std::string("A\x01\\\xB0\n\x7F", 6));
  const std::vector<Row> rows = {
      {"up to date", Device(2002, "ABCD1234"), "2002",
       "device id \"ABCD1234\", data version 2002, flash unknown, newest 2002: up to date (tick 42)"},
      {"older with flash", flash, "2002",
       "device id \"ABCD1234\", data version 2001, flash TYPE64, 8MB, newest 2002: older, "
       "data update started (tick 42)"},
      {"major", Device(9318, ""), "9319",
       "device id \"\", data version 9318, flash unknown, newest 9319: major update, nothing "
       "started (tick 42)"},
      {"hostile identity bytes", hostile, "1",
       "device id \"A\\x01\\x5C\\xB0\\x0A\\x7F\", data version 2001, flash unknown, newest 1: up to date (tick 42)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FakeHost host;
    DeviceWatch watch(host);
    host.watch = &watch;
    host.installed = row.installed;
    AdvanceTo(watch, host, 42);
    watch.Decide(row.poll);
    EXPECT_EQ(host.logs, std::vector<std::string>{row.line});
  }
}

TEST(WatchLog, RepeatedSilentDecisionsAreLoggedOnce) {
  FakeHost host;
  DeviceWatch watch(host);
  host.watch = &watch;
  host.installed = "2002";
  host.device = Device(2001, "OLD");
  // Ticks 1-41: thirteen polls held back by the spacing, one line.
  for (int i = 0; i < 41; ++i) watch.OnWatchTick();
  ASSERT_EQ(host.logs.size(), 1u);
  EXPECT_NE(host.logs[0].find("waiting for the launch spacing"), std::string::npos);
  watch.OnWatchTick();  // 42: the report
  ASSERT_EQ(host.logs.size(), 2u);
  EXPECT_NE(host.logs[1].find("older, data update started"), std::string::npos);
  for (int i = 0; i < 30; ++i) watch.OnWatchTick();  // remembered: one line for ten polls
  ASSERT_EQ(host.logs.size(), 3u);
  EXPECT_NE(host.logs[2].find("already reported"), std::string::npos);
  // Unplugged and plugged back in: logged again.
  host.device = DevicePoll{};
  for (int i = 0; i < 3; ++i) watch.OnWatchTick();
  host.device = Device(2001, "OLD");
  for (int i = 0; i < 3; ++i) watch.OnWatchTick();
  ASSERT_EQ(host.logs.size(), 4u);
  // The same line again, at its own tick.
  const auto withoutTick = [](const std::string& line) { return line.substr(0, line.rfind(" (tick ")); };
  EXPECT_EQ(withoutTick(host.logs[3]), withoutTick(host.logs[2]));
  EXPECT_NE(host.logs[3], host.logs[2]);
}

TEST(WatchText, BalloonNumbersAsSignedDecimal) {
  struct Row {
    std::uint32_t d, n;
    std::string upToDate, major;
  };
  const std::string tail = "有较大更新。\r\n暂不能启用自动更新，请登录网站下载对应机型的完整升级包。";
  const std::vector<Row> rows = {
      {0, 0, "当前连接的产品数据已经是最新版0", "由于当前连接的产品数据版本为0，而最新数据版本为0" + tail},
      {2147483647u, 2147483648u, "当前连接的产品数据已经是最新版2147483647",
       "由于当前连接的产品数据版本为2147483647，而最新数据版本为-2147483648" + tail},
      {4294967295u, 9319, "当前连接的产品数据已经是最新版-1",
       "由于当前连接的产品数据版本为-1，而最新数据版本为9319" + tail},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(zt::UpToDateText(row.d), row.upToDate);
    EXPECT_EQ(zt::MajorUpdateText(row.d, row.n), row.major);
  }
}

}  // namespace
