// The main window's side of a self-update: a replaced start tells the previous version that it is
// up once its window, tray icon and message loop are, and then takes the executable's place once
// the previous process has ended (or, started by a version of the earlier order, removes the old
// copy a little later); a tool whose new version is started waits, on a thread, for that version to
// come up (or starts itself again) and then tells the window.
#pragma once
#include <windows.h>

namespace zt {

class ReplacementHandOver {
 public:
  // At the window's start: a replaced start confirms once its message loop handles this window's
  // own WM_CONFIRM_STARTED and its tray icon is shown.
  void Begin(HWND window, bool replacedStart);
  // True when it confirmed just now (the window then tells the user); nothing once confirmed.
  bool ConfirmIfUp(bool trayShown);
  // IDT_REMOVE_REPLACED: once the previous version has ended, this version moves over the
  // executable (or the earlier order's old copy goes).
  void OnRemoveTimer();
  // The new version is in place and started: the wait for it runs on a thread, which posts
  // WM_REPLACEMENT_FINISHED when it has come up or the old version is back. False when nothing waits.
  bool WaitForNewVersion();

 private:
  HWND m_window = nullptr;
  bool m_confirmPending = false;
};

}  // namespace zt
