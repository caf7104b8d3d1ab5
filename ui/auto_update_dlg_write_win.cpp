// What the main window does about a device write: start the data-update program (or say why not),
// judge the write when it ends, the start button, and quitting while a write runs.
#include "ui/auto_update_dlg_win.h"

#include "base/descriptor.h"
#include "base/descriptor_keys.h"
#include "base/history.h"
#include "base/ids.h"
#include "base/log.h"
#include "base/notice.h"
#include "res/resource.h"
#include "ui/data_write.h"
#include "ui/watch.h"
#include "ui/watch_host_win.h"
#include "ui/window_logic.h"
#include "update/downloads.h"
#include "update/install/data_launch_win.h"
#include "win/process.h"
#include "win/text.h"

namespace zt {

void CAutoUpdateDlg::LaunchDataUpdater(const DevicePoll& device, std::uint32_t newest) {
  if (m_bBusy) {
    LogEvent("updater-launch", "refused: busy");
    return;
  }
  LaunchRefusal refusal;
  std::optional<DataProgramLaunch> launch = PrepareDataProgramLaunch(refusal);
  if (!launch) {
    RefuseStart(refusal, device, newest);
    return;
  }
  std::string reason;
  UniqueKernelHandle process = StartDataProgram(*launch, reason);
  if (!process) {
    RefuseStart({reason, "not-started", "数据升级程序无法启动。"}, device, newest);
    return;
  }
  ::ShowWindow(m_hWnd, SW_HIDE);
  m_bBusy = true;
  m_write.emplace(m_hWnd, std::move(*launch), std::move(process), device, newest);
  // Without a worker nothing will tell the end: the session ends now, unjudged.
  if (!m_write->Watching()) ::PostMessageW(m_hWnd, WM_DATA_WRITE_DONE, 0, 0);
  ShowBalloon("数据升级程序已启动，请在其窗口中确认。\r\n写入期间请勿拔出设备或关机。");
}

void CAutoUpdateDlg::RefuseStart(const LaunchRefusal& refusal, const DevicePoll& device, std::uint32_t newest) {
  LogEvent("updater-launch", "refused: " + refusal.log);
  ShowBalloon(refusal.words);
  RecordOutcome({kWhatData,
                 kResultRefused,
                 SignedDecimal(newest),
                 device.found ? SignedDecimal(device.dataVersion) : std::string(),
                 {},
                 refusal.cause,
                 "数据升级程序未启动：" + refusal.words.substr(0, refusal.words.find("\r\n"))});
}

void CAutoUpdateDlg::OnWriteDone() {
  if (!m_write) return;
  const WriteRun run = m_write->Result();
  const DevicePoll device = m_write->Device();
  const std::uint32_t newest = m_write->Newest();
  // The lock, the hold on sleep and the shutdown reason go here, on the thread that took them.
  m_write.reset();
  m_bBusy = false;
  const int before = m_watch.WriteFailuresOf(device.identity, newest);
  WriteJudgement judgement = JudgeWrite(run, newest, device, before);
  judgement.outcome.seq = GetKeyValue(TheDescriptorState().Local().text, kKeySequence);
  const bool written = judgement.verdict == WriteVerdict::Written;
  m_watch.OnWriteEnded(device.identity, newest, written);
  if (!written && before + 1 >= kAutomaticWrites) AddStartWaiting(kWriteHeld);
  LogEvent("updater-launch", "the data-update program ended; " + judgement.outcome.words);
  RecordOutcome(judgement.outcome);
  if (m_bQuitting) return;
  ShowBalloon(judgement.balloon);
  RefreshInfo();
}

void CAutoUpdateDlg::OnStartButton() {
  const unsigned waiting = TakeStartWaiting();
  m_watch.OnUserStart();
  if (waiting & (kPackageDeferred | kExecutableDeferred)) {
    // Asked for: fetched now, metered or not.
    ClearInfoNotice();
    if (waiting & kPackageDeferred) StartDataThread(true);
    if (waiting & kExecutableDeferred) StartUpdaterThread(true);
    RefreshInfo();
    return;
  }
  // The device as it answers now, so that the write is judged against it; never while a download or
  // the data-update program (which owns the device) runs.
  if (m_bBusy) {
    AddStartWaiting(waiting);  // still waiting for a press that can act
    LogEvent("updater-launch", "refused: busy");
    return;
  }
  const DevicePoll device = PollAttachedDevice();
  LaunchDataUpdater(device, static_cast<std::uint32_t>(AtoiRule(TheDescriptorState().DataVersion())));
  RefreshInfo();
}

bool CAutoUpdateDlg::MayQuitNow() {
  if (!m_write) return true;
  return AppMessageBox("正在写入设备数据。现在退出，将不会检查写入结果。\r\n\r\n确定要退出吗？",
                       MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

}  // namespace zt
