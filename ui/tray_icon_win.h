// The tool's icon in the notification area: added (and added again while the shell does not hold
// it), its balloons, its menu. The window owns one and routes the icon's messages to it.
#pragma once
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <string>

#include "win/handles.h"

namespace zt {

class TrayIcon {
 public:
  TrayIcon();

  // The window that receives the icon's clicks (WM_TRAY_NOTIFY) and owns the menu; it is let
  // receive the shell's TaskbarCreated broadcast.
  void Attach(HWND window);
  // Handles the broadcast of a restarted shell (the icon is added again); false for any other.
  bool OnTaskbarCreated(UINT message);
  // The program's icons, also the window's own (the large one is shared: never destroyed).
  HICON LargeIcon() const { return m_largeIcon; }
  HICON SmallIcon() const { return m_smallIcon ? m_smallIcon.get() : m_largeIcon; }

  // Adds the icon, or refreshes it when the shell holds it already (a TaskbarCreated broadcast
  // after our own add); a failure is logged once until the icon is back.
  void Add();
  void Remove();
  // Whether the shell holds the icon; while it does not, balloons and every few ticks add it again.
  bool Shown() const { return m_shown; }
  void RetryOnTick(std::uint32_t tick);

  // Shows a balloon (title "数据升级", 8 s, no sound); "" takes a showing balloon down.
  void ShowBalloon(const std::string& utf8Text);
  // Shows the menu at the cursor and returns the chosen command (ID_TRAY_SHOW, ID_TRAY_HISTORY,
  // ID_TRAY_EXIT) or 0.
  UINT TrackMenu() const;

 private:
  NOTIFYICONDATAW Record() const;

  HWND m_window = nullptr;
  UINT m_taskbarCreated = 0;
  HICON m_largeIcon = nullptr;
  UniqueIcon m_smallIcon;
  bool m_shown = false;
  bool m_failureLogged = false;
};

}  // namespace zt
