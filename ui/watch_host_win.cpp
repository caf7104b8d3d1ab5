#include "ui/watch_host_win.h"

#include <windows.h>

#include "base/descriptor_state.h"
#include "base/ids.h"
#include "base/log.h"
#include "base/notice.h"
#include "device/hid_device_win.h"
#include "ui/auto_update_dlg_win.h"
#include "update/downloads.h"

namespace zt {

DevicePoll PollAttachedDevice() {
  DevicePoll poll;
  CHidDevice device;
  poll.found = device.OpenDevices() != 0 && device.QueryDataVersion() != FALSE;
  // Asked whatever the open gave: with nothing open it answers empty at once.
  poll.identity = device.QueryDeviceId();
  if (!poll.found && device.SlotCount() > 0) poll.problem = device.LastError();
  device.CloseDevices();
  if (poll.found) {
    poll.dataVersion = static_cast<std::uint32_t>(device.m_nDataVersion);
    poll.flashName = device.m_strFlashName;
    poll.flashSize = device.m_strFlashSize;
  }
  return poll;
}

bool DialogWatchHost::IsBusy() { return m_dlg.IsBusy(); }

void DialogWatchHost::RefreshInfo() { m_dlg.RefreshInfo(); }

void DialogWatchHost::StartDescriptorFetch(FetchPurpose first) { zt::StartDescriptorFetch(FetchBudget(first)); }

void DialogWatchHost::StartUpdaterThread() { zt::StartUpdaterThread(); }

void DialogWatchHost::LoadLocalVersion() { LoadInstalledDescriptor(); }

void DialogWatchHost::StartDataThread() { zt::StartDataThread(); }

DevicePoll DialogWatchHost::PollDevice() { return PollAttachedDevice(); }

std::string DialogWatchHost::InstalledDataVersion() { return TheDescriptorState().DataVersion(); }

void DialogWatchHost::ShowBalloon(const std::string& utf8) { m_dlg.ShowBalloon(utf8); }

void DialogWatchHost::SetForgetTimer(std::uint32_t ms) {
  // Setting it again restarts its count; it keeps repeating until then.
  if (::SetTimer(m_dlg.GetSafeHwnd(), IDT_FORGET_DEVICE, ms, nullptr) == 0) {
    LogEvent("device", "the forget timer could not be set");
  }
}

void DialogWatchHost::LaunchDataUpdater(const DevicePoll& device, std::uint32_t newest) {
  m_dlg.LaunchDataUpdater(device, newest);
}

void DialogWatchHost::OfferStartButton() {
  AddStartWaiting(kWriteHeld);
  m_dlg.RefreshInfo();
}

void DialogWatchHost::Log(std::string_view event, std::string_view details) { LogEvent(event, details); }

}  // namespace zt
