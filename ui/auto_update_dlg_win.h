// The main window: the program's main loop (run modally), the information text, the buttons and
// the auto-start check box, the reactions to the workers' messages; it owns the tray icon and
// starts the data-update program.
#pragma once
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "ui/data_write_win.h"
#include "ui/dialog_win.h"
#include "ui/main_window.h"
#include "ui/replacement_win.h"
#include "ui/tray_icon_win.h"
#include "ui/watch.h"
#include "ui/watch_host_win.h"
#include "ui/window_logic.h"
#include "win/handles.h"

namespace zt {

class CAboutDlg : public CDialog {
 public:
  CAboutDlg();
};

class CAutoUpdateDlg : public CDialog {
 public:
  explicit CAutoUpdateDlg(MainWindowStart start = {});
  ~CAutoUpdateDlg() override;

  // Shows a tray balloon (title "数据升级", 8 s, no sound); "" takes a showing balloon down.
  void ShowBalloon(const std::string& utf8Text);
  // Rebuilds the information text; fetches the descriptor and starts the data thread when the
  // local files are missing and nothing is busy (spaced out after failed fetches).
  void RefreshInfo();
  // Hides the window and starts the data-update program to write `device` (found older than
  // `newest`); its end and the device read back come as WM_DATA_WRITE_DONE. A start refused
  // after the user was told it would come is said in a balloon and kept in the history.
  void LaunchDataUpdater(const DevicePoll& device, std::uint32_t newest);
  // Button 1004: fetches what waited on a metered connection, else starts the data-update program.
  void OnStartButton();
  // One tick of the watch timer.
  void OnWatchTick();
  // TRUE while a download announced by a worker or the data-update program runs.
  bool IsBusy() const { return m_bBusy; }

 protected:
  void DoDataExchange(DataExchange& dx) override;
  BOOL OnInitDialog() override;
  void OnOK() override {}      // Enter does nothing
  void OnCancel() override {}  // nor do Escape and WM_CLOSE
  INT_PTR WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void ShowAndActivate();
  INT_PTR OnTrayNotify(LPARAM mouseMessage);
  INT_PTR OnSystemCommand(WPARAM command);
  void OnTimer(UINT_PTR id);
  void OnAskAutoStart();
  void OnStartHidden();
  void OnChkAutoStart();
  void OnCommand(UINT id);
  bool OnWorkerMessage(UINT message, WPARAM wParam);
  void OnPaintIconic();
  void OnWriteDone();
  // The messages of the tool's own (the workers', the replacement's, "/exit", a restarted shell);
  // false for any other.
  bool OnToolMessage(UINT message, WPARAM wParam);
  void OnDeviceChange(WPARAM event, LPARAM data);
  void RefuseStart(const LaunchRefusal& refusal, const DevicePoll& device, std::uint32_t newest);
  // A user's quit while the device is written: asked first (the result will not be checked).
  bool MayQuitNow();
  void RegisterForDeviceArrivals();
  // A replaced start tells the previous version that it is up, once its tray icon is shown.
  void ConfirmIfUp();
  // Ends the program from anywhere, also from inside a message box or the About box.
  void QuitProgram(std::string_view why);
  // The first half of it: nothing starts or shows any more; the window stays until EndDialog.
  void StopWork(std::string_view why);

  MainWindowStart m_start;
  RECT m_rcNormal{};
  bool m_bBusy = false;
  HWND m_btnStartUpdate = nullptr;
  std::string m_strInfo;
  bool m_bAutoStart = false;
  TrayIcon m_tray;
  ReplacementHandOver m_handOver;
  // Whose download the progress window shows.
  ProgressOwner m_progressOwner = ProgressOwner::None;
  // Set once the program is ending: no tick, no worker message acts any more.
  bool m_bQuitting = false;
  // The device being written, while it is.
  std::optional<DataWriteSession> m_write;
  // Device arrivals are announced to this window (unregistered with it).
  UniqueDeviceNotify m_hDeviceNotify;
  // The schedule and the update decision; the host gives it this window's calls.
  DialogWatchHost m_watchHost{*this};
  DeviceWatch m_watch{m_watchHost};
};

}  // namespace zt
