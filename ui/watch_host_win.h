// The main window's side of the device watch: the Windows calls behind zt::WatchHost (the device
// poll on a fresh CHidDevice, the scheduled descriptor fetch, the worker starters, the forget
// timer, the log), forwarded to the dialog and the application object.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "ui/watch.h"

namespace zt {

class CAutoUpdateDlg;

// One poll of the attached device on a device object that lives for this call only: open, the
// version query only when something was opened, the identity query always, and every handle
// closed before the result is returned (none may stay open while the data-update program runs).
DevicePoll PollAttachedDevice();

class DialogWatchHost final : public WatchHost {
 public:
  explicit DialogWatchHost(CAutoUpdateDlg& dlg) : m_dlg(dlg) {}

  bool IsBusy() override;
  void RefreshInfo() override;
  void StartDescriptorFetch(FetchPurpose first) override;
  void StartUpdaterThread() override;
  void LoadLocalVersion() override;
  void StartDataThread() override;
  DevicePoll PollDevice() override;
  std::string InstalledDataVersion() override;
  void ShowBalloon(const std::string& utf8) override;
  void SetForgetTimer(std::uint32_t ms) override;
  void LaunchDataUpdater(const DevicePoll& device, std::uint32_t newest) override;
  void OfferStartButton() override;
  void Log(std::string_view event, std::string_view details) override;

 private:
  CAutoUpdateDlg& m_dlg;
};

}  // namespace zt
