#include "ui/data_write.h"

namespace zt {
namespace {

// What the user can do next: the tool tries once more by itself, then leaves it to the user.
std::string NextStep(int failuresBefore) {
  return failuresBefore + 1 < kAutomaticWrites ? "系统将在下次检测到该设备时自动再试一次。"
                                               : "请打开主界面点击“启动升级包”重试，或联系厂家。";
}

}  // namespace

WriteJudgement JudgeWrite(const WriteRun& run, std::uint32_t newest, const DevicePoll& before, int failuresBefore) {
  WriteJudgement j;
  j.outcome.what = kWhatData;
  j.outcome.result = kResultFailed;
  j.outcome.version = SignedDecimal(newest);
  if (before.found) j.outcome.from = SignedDecimal(before.dataVersion);
  const std::string next = NextStep(failuresBefore);
  if (!run.ended) {
    j.verdict = WriteVerdict::StillRunning;
    j.outcome.cause = "timeout";
    j.outcome.words = "数据升级程序运行超过30分钟，未检查写入结果";
    j.balloon = "数据升级程序运行超过30分钟，未能确认设备数据已更新。\r\n" + next;
    return j;
  }
  if (!run.readBack.found && !before.found) {
    j.verdict = WriteVerdict::Unplugged;
    j.outcome.cause = "no-device";
    j.outcome.words = "没有连接设备，未能确认写入结果";
    j.balloon = "未检测到设备，未能确认数据是否已写入。\r\n请连接设备后点击“启动升级包”重试。";
    return j;
  }
  if (!run.readBack.found) {
    j.verdict = WriteVerdict::Unplugged;
    j.outcome.cause = "unplugged";
    j.outcome.words = "写入后设备未连接，未能确认";
    j.balloon = "数据写入未能确认：设备已断开连接。\r\n请重新连接设备。" + next;
    return j;
  }
  const std::uint32_t now = run.readBack.dataVersion;
  // The rule of the decision: the device is current when the newest data is not above it.
  if (newest <= now) {
    j.verdict = WriteVerdict::Written;
    j.outcome.result = kResultOk;
    j.outcome.version = SignedDecimal(now);
    j.outcome.cause = "none";
    j.outcome.words = "设备数据已更新为 " + SignedDecimal(now);
    j.balloon = "设备数据已更新为最新版" + SignedDecimal(now) + "。";
    return j;
  }
  if (run.exitCode == 0) {
    j.verdict = WriteVerdict::NotTaken;
    j.outcome.cause = "not-taken";
    j.outcome.words = "数据升级程序已结束，设备数据仍为 " + SignedDecimal(now);
    j.balloon = "数据写入未成功，设备数据仍为" + SignedDecimal(now) + "。\r\n请保持设备连接。" + next;
  } else {
    j.verdict = WriteVerdict::ProgramFailed;
    j.outcome.cause = "exit-" + std::to_string(run.exitCode);
    j.outcome.words =
        "数据升级程序出错（退出码 " + std::to_string(run.exitCode) + "），设备数据仍为 " + SignedDecimal(now);
    j.balloon = "数据升级程序出错，设备数据仍为" + SignedDecimal(now) + "。\r\n" + next;
  }
  return j;
}

}  // namespace zt
