#include "ui/data_write.h"

#include <gtest/gtest.h>

namespace {

using zt::DevicePoll;
using zt::WriteVerdict;

DevicePoll Found(std::uint32_t version) {
  DevicePoll p;
  p.found = true;
  p.dataVersion = version;
  p.identity = "ZT000001";
  return p;
}

// A write is judged by the device read back against the newest data, with the rule of the decision
// (current when the newest is not above it); the program's status only names the cause. What the
// user is told next depends on the failures before: one retry by itself, then the start button.
TEST(JudgeWrite, TheDeviceReadBackDecides) {
  struct Row {
    const char* label;
    bool ended;
    std::uint32_t status;
    DevicePoll before, after;
    int failuresBefore;
    WriteVerdict verdict;
    const char* result;
    const char* cause;
    const char* balloonPart;
  };
  const DevicePoll gone;
  for (const Row& r : {
           Row{"written", true, 0, Found(2001), Found(2002), 0, WriteVerdict::Written, "ok", "none", "最新版2002"},
           Row{"newer than the newest", true, 0, Found(2001), Found(2003), 0, WriteVerdict::Written, "ok", "none",
               "2003"},
           Row{"written whatever the status", true, 7, Found(2001), Found(2002), 1, WriteVerdict::Written, "ok", "none",
               "2002"},
           Row{"status 0, old data", true, 0, Found(2001), Found(2001), 0, WriteVerdict::NotTaken, "failed",
               "not-taken", "自动再试一次"},
           Row{"the second failure", true, 0, Found(2001), Found(2001), 1, WriteVerdict::NotTaken, "failed",
               "not-taken", "启动升级包"},
           Row{"status 3, old data", true, 3, Found(2001), Found(2001), 0, WriteVerdict::ProgramFailed, "failed",
               "exit-3", "出错"},
           Row{"gone after the write", true, 0, Found(2001), gone, 0, WriteVerdict::Unplugged, "failed", "unplugged",
               "断开"},
           Row{"never there", true, 0, gone, gone, 0, WriteVerdict::Unplugged, "failed", "no-device", "未检测到设备"},
           Row{"still running", false, 0, Found(2001), gone, 0, WriteVerdict::StillRunning, "failed", "timeout",
               "30分钟"},
       }) {
    SCOPED_TRACE(r.label);
    zt::WriteRun run;
    run.ended = r.ended;
    run.exitCode = r.status;
    run.readBack = r.after;
    const zt::WriteJudgement j = zt::JudgeWrite(run, 2002, r.before, r.failuresBefore);
    EXPECT_EQ(j.verdict, r.verdict);
    EXPECT_EQ(j.outcome.what, "data");
    EXPECT_EQ(j.outcome.result, r.result);
    EXPECT_EQ(j.outcome.cause, r.cause);
    EXPECT_EQ(j.outcome.from, r.before.found ? "2001" : "");
    EXPECT_NE(j.balloon.find(r.balloonPart), std::string::npos) << j.balloon;
  }
}

}  // namespace
