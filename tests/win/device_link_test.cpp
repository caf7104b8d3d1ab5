// The device link against the simulated device (stand-in hid.dll/setupapi.dll + simulator).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "device/hid_device_win.h"
#include "ui/watch_host_win.h"
#include "tests/support/sim_control.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A query expected to succeed may be retried twice: the link gives every answer only 100 ms, and
// the simulator shares a loaded test machine. A wrong answer is never retried away: only a
// failed query is asked again, as the watch itself would at its next poll.
BOOL VersionWithRetry(zt::CHidDevice& dev) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (dev.QueryDataVersion()) return TRUE;
  }
  return FALSE;
}
std::string IdWithRetry(zt::CHidDevice& dev) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string id = dev.QueryDeviceId();
    if (!id.empty()) return id;
  }
  return {};
}

class DeviceLink : public ::testing::Test {
 protected:
  // Each test runs in its own process under CTest; a simulator per test keeps them independent,
  // and a simulator that does not start fails the test instead of skipping it.
  void SetUp() override { ASSERT_TRUE(sim_.Start()) << "device_simulator.exe did not start beside the test"; }
  void TearDown() override { sim_.Stop(); }
  void Plug(const std::string& lines) { ASSERT_TRUE(sim_.Apply(lines)) << lines; }
  zt::sim::Simulator sim_{L"C:\\ZT_Sim_wintest"};
};

TEST_F(DeviceLink, NoDeviceFindsNothingAndQueriesFailWithoutTransfer) {
  Plug("");
  zt::CHidDevice dev;
  EXPECT_EQ(dev.OpenDevices(), 0);
  EXPECT_FALSE(dev.m_bOpen);
  EXPECT_EQ(dev.m_nDeviceCount, 0);
  EXPECT_FALSE(dev.QueryDataVersion());
  EXPECT_EQ(dev.QueryDeviceId(), "");
}

TEST_F(DeviceLink, OnlyTheRightVendorAndProductAreCounted) {
  struct Row {
    const char* lines;
    int count;
    int version;
  };
  const Row rows[] = {
      {"device other-pid pid=B502\n", 0, 0},
      {"device other-vid vid=0417\n", 0, 0},
      {"device swapped vid=B501 pid=0416\n", 0, 0},
      {"device other-pid pid=B502 version=7000\ndevice ours version=5123\ndevice other-vid vid=0417 version=7001\n", 1,
       5123},
  };
  for (const Row& row : rows) {
    Plug(row.lines);
    zt::CHidDevice dev;
    EXPECT_EQ(dev.OpenDevices(), row.count) << row.lines;
    EXPECT_EQ(dev.m_bOpen, row.count > 0 ? TRUE : FALSE) << row.lines;
    if (row.count > 0) {
      EXPECT_TRUE(VersionWithRetry(dev)) << row.lines;
      EXPECT_EQ(dev.m_nDataVersion, row.version) << row.lines;
    }
  }
}

TEST_F(DeviceLink, TwoDevicesAreCountedAndTheQueriesReachTheSecond) {
  Plug("device first version=5000 id=AAAA1111 key=11\ndevice second version=6000 id=BBBB2222 key=22 flash=EF14\n");
  zt::CHidDevice dev;
  ASSERT_EQ(dev.OpenDevices(), 2);
  EXPECT_EQ(dev.m_nDeviceCount, 2);
  EXPECT_NE(dev.ReadSlot(0), INVALID_HANDLE_VALUE);
  EXPECT_NE(dev.ReadSlot(1), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(VersionWithRetry(dev));
  EXPECT_EQ(dev.m_nDataVersion, 6000);
  EXPECT_EQ(dev.m_strFlashName, "F22");
  EXPECT_EQ(IdWithRetry(dev), "BBBB2222");
}

TEST_F(DeviceLink, DeviceRefusingWritersIsCountedAndItsQueriesFail) {
  Plug("device stubborn write=0 version=5000\n");
  zt::CHidDevice dev;
  ASSERT_EQ(dev.OpenDevices(), 1);
  EXPECT_TRUE(dev.m_bOpen);
  EXPECT_NE(dev.ReadSlot(0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(dev.WriteSlot(0), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(dev.QueryDataVersion());
  EXPECT_EQ(dev.m_nDataVersion, 0);
  EXPECT_EQ(dev.QueryDeviceId(), "");
}

TEST_F(DeviceLink, SilentDeviceReadFailsAfterTheTimeLimit) {
  Plug("device mute silent=1\n");
  zt::CHidDevice dev;
  ASSERT_EQ(dev.OpenDevices(), 1);
  DWORD transferred = 12345;
  const auto start = Clock::now();
  EXPECT_FALSE(dev.ReadReport(0, &transferred));
  const long long waited = MsSince(start);
  EXPECT_EQ(transferred, 0u);
  EXPECT_GE(waited, 90);
  EXPECT_LT(waited, 1000);  // bounded: never the unbounded wait of a read without a limit
  EXPECT_FALSE(dev.QueryDataVersion());
  EXPECT_EQ(dev.QueryDeviceId(), "");
}

TEST_F(DeviceLink, StalledDeviceWriteFailsAfterTheTimeLimitAndIsCancelled) {
  Plug("device jammed stall=1\n");
  zt::CHidDevice dev;
  ASSERT_EQ(dev.OpenDevices(), 1);
  const auto start = Clock::now();
  EXPECT_FALSE(dev.WriteReport(0));
  const long long waited = MsSince(start);
  EXPECT_GE(waited, 90);
  EXPECT_LT(waited, 1000);
  EXPECT_FALSE(dev.QueryDataVersion());
  EXPECT_EQ(dev.QueryDeviceId(), "");
  dev.CloseDevices();  // returns: nothing is left pending on the handles
  EXPECT_EQ(dev.SlotCount(), 0);
}

TEST_F(DeviceLink, LateReplyNeitherLandsInTheBufferNorAnswersTheNextQuery) {
  // The data-version answer has length byte 14, so were it taken for an identity answer it
  // would descramble into a non-empty wrong identity.
  Plug("device slow delay=300 answer=P001-0002-5000 id=GOOD0001 key=33\n");
  zt::CHidDevice dev;
  ASSERT_EQ(dev.OpenDevices(), 1);
  EXPECT_FALSE(dev.QueryDataVersion());
  const zt::Report afterTimeout = dev.ReportBuffer();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the late answer reaches the pipe
  EXPECT_EQ(dev.ReportBuffer(), afterTimeout) << "a cancelled read completed into the report buffer";

  Plug("device slow delay=0 answer=P001-0002-5000 id=GOOD0001 key=33\n");
  EXPECT_EQ(IdWithRetry(dev), "GOOD0001");
  EXPECT_TRUE(VersionWithRetry(dev));
  EXPECT_EQ(dev.m_nDataVersion, 5000);
}

TEST_F(DeviceLink, AnswersThatFailTheQueriesKeepOrSetTheNumbersAsSpecified) {
  struct Row {
    const char* line;
    BOOL result;
    int version;
    const char* id;
  };
  const Row rows[] = {
      {"device d short=20 version=5000\n", FALSE, 0, ""},
      {"device d first=0 version=4321\n", FALSE, 4321, "ZT000001"},
      {"device d version=1000\n", FALSE, 1000, "ZT000001"},
      {"device d version=1001\n", TRUE, 1001, "ZT000001"},
      {"device d version=-999\n", TRUE, -999, "ZT000001"},
      {"device d answer=p001-0002-5000-C216#\n", FALSE, 0, "ZT000001"},
      {"device d id=AB key=41\n", TRUE, 5000, "AB"},
  };
  for (const Row& row : rows) {
    Plug(row.line);
    zt::CHidDevice dev;
    ASSERT_EQ(dev.OpenDevices(), 1) << row.line;
    BOOL result = FALSE;
    // Asked again only while no answer at all has been parsed (a time-out leaves the number alone).
    for (int attempt = 0; attempt < 3; ++attempt) {
      result = dev.QueryDataVersion();
      if (result || dev.m_nDataVersion != 0 || row.version == 0) break;
    }
    EXPECT_EQ(result, row.result) << row.line;
    EXPECT_EQ(dev.m_nDataVersion, row.version) << row.line;
    EXPECT_EQ(*row.id ? IdWithRetry(dev) : dev.QueryDeviceId(), row.id) << row.line;
  }
}

TEST_F(DeviceLink, CloseTwiceLeavesEverySlotEmpty) {
  Plug("device a\ndevice b\n");
  zt::CHidDevice dev;
  ASSERT_EQ(dev.OpenDevices(), 2);
  dev.CloseDevices();
  dev.CloseDevices();
  EXPECT_EQ(dev.SlotCount(), 0);
  for (int i = 0; i < zt::kMaxDevices; ++i) {
    EXPECT_EQ(dev.ReadSlot(i), INVALID_HANDLE_VALUE) << i;
    EXPECT_EQ(dev.WriteSlot(i), INVALID_HANDLE_VALUE) << i;
  }
  // The count and the open flag keep their values; a query then fails for want of a handle.
  EXPECT_EQ(dev.m_nDeviceCount, 2);
  EXPECT_TRUE(dev.m_bOpen);
  EXPECT_FALSE(dev.QueryDataVersion());
  EXPECT_EQ(dev.QueryDeviceId(), "");
}

TEST_F(DeviceLink, OpenAgainAfterUnplugFindsNothingButKeepsTheLastCount) {
  Plug("device a\n");
  zt::CHidDevice dev;
  ASSERT_EQ(dev.OpenDevices(), 1);
  Plug("");
  EXPECT_FALSE(dev.QueryDataVersion());  // the pipe is gone
  EXPECT_EQ(dev.OpenDevices(), 0);
  EXPECT_EQ(dev.SlotCount(), 0);
  EXPECT_EQ(dev.m_nDeviceCount, 1);
  EXPECT_TRUE(dev.m_bOpen);
  Plug("device a version=7777\n");
  ASSERT_EQ(dev.OpenDevices(), 1);
  EXPECT_TRUE(VersionWithRetry(dev));
  EXPECT_EQ(dev.m_nDataVersion, 7777);
}

TEST_F(DeviceLink, MoreThanThirtyTwoDevicesFillOnlyTheSlots) {
  std::string lines;
  for (int i = 0; i < 34; ++i) lines += "device d" + std::to_string(i) + " version=" + std::to_string(2000 + i) + "\n";
  Plug(lines);
  zt::CHidDevice dev;
  EXPECT_EQ(dev.OpenDevices(), zt::kMaxDevices);
  EXPECT_EQ(dev.m_nDeviceCount, zt::kMaxDevices);
  EXPECT_NE(dev.ReadSlot(zt::kMaxDevices - 1), INVALID_HANDLE_VALUE);
  EXPECT_NE(dev.WriteSlot(zt::kMaxDevices - 1), INVALID_HANDLE_VALUE);
  // Thirty-four simulated devices replenishing their pipes keep the rig busy for a moment, longer
  // when the machine is loaded: the 32nd is asked until it answers, for up to ten seconds.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool answered = false;
  while (!(answered = VersionWithRetry(dev)) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(answered);
  EXPECT_EQ(dev.m_nDataVersion, 2000 + zt::kMaxDevices - 1);  // the 32nd found
}

TEST_F(DeviceLink, FullPoll) {
  Plug("device car version=9318 first=3 second=12 flash=C214 id=ZT123456 key=7E\n");
  for (int poll = 0; poll < 3; ++poll) {  // a fresh object per poll, as the watch does
    zt::CHidDevice dev;
    ASSERT_EQ(dev.OpenDevices(), 1);
    EXPECT_TRUE(VersionWithRetry(dev));
    EXPECT_EQ(dev.m_nFirstNumber, 3);
    EXPECT_EQ(dev.m_nSecondNumber, 12);
    EXPECT_EQ(dev.m_nDataVersion, 9318);
    EXPECT_EQ(dev.m_strFlashName, "F12");
    EXPECT_EQ(dev.m_strFlashSize, " 2MB");
    EXPECT_EQ(IdWithRetry(dev), "ZT123456");
    dev.CloseDevices();
  }
}

// The watch's poll on its own short-lived device object: what the decision gets to see.
TEST_F(DeviceLink, WatchPollPassesOnOnlyWhatTheDecisionMayUse) {
  struct Row {
    const char* what;
    const char* lines;
    bool found;
    std::uint32_t version;  // passed on only when found
    const char* id;         // read whatever the version query gave
    const char* flashName;
    const char* flashSize;
  };
  const Row rows[] = {
      {"nothing plugged", "", false, 0, "", "", ""},
      {"answering device", "device car version=5000 id=ZT000042 key=11 flash=EF14\n", true, 5000, "ZT000042", "F22",
       " 2MB"},
      {"unknown flash id", "device car version=5001 id=ZT000043 flash=1234\n", true, 5001, "ZT000043", "", ""},
      {"version 1000 fails the query, identity still read", "device car version=1000 id=ZT000044\n", false, 0,
       "ZT000044", "", ""},
      {"negative version passes as a huge one", "device car version=-999 id=ZT000045\n", true, 0xFFFFFC19u, "ZT000045",
       "F10", " 8MB"},
      {"silent device", "device mute silent=1 id=ZT000046\n", false, 0, "", "", ""},
      {"other product only", "device other pid=B502 version=5000\n", false, 0, "", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Plug(row.lines);
    zt::DevicePoll poll;
    long long slowest = 0;
    // A transfer may miss its 100 ms on a loaded machine: the poll is repeated (as the watch
    // would at its next poll) only while it does not yet show the expected device.
    for (int attempt = 0; attempt < 3; ++attempt) {
      const auto start = Clock::now();
      poll = zt::PollAttachedDevice();
      slowest = std::max(slowest, MsSince(start));
      if (poll.found == row.found && poll.identity == row.id) break;
    }
    EXPECT_EQ(poll.found, row.found);
    EXPECT_EQ(poll.dataVersion, row.version);
    EXPECT_EQ(poll.identity, row.id);
    EXPECT_EQ(poll.flashName, row.flashName);
    EXPECT_EQ(poll.flashSize, row.flashSize);
    // Two queries of one write and one read each, 100 ms apiece at most, plus the search.
    EXPECT_LT(slowest, 1000);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
