// Window messages, timer ids and command ids of the main window: one place, used everywhere.
// Portable (no <windows.h>) so the worker procedures can name the messages they post.
#pragma once

namespace zt {

// Posted by the worker threads and the download to the main window.
inline constexpr unsigned WM_UPDATER_DOWNLOADING = 0x0591;
inline constexpr unsigned WM_UPDATER_DONE = 0x0592;
inline constexpr unsigned WM_DATA_DOWNLOADING = 0x0593;
inline constexpr unsigned WM_DATA_DONE = 0x0594;
inline constexpr unsigned WM_DOWNLOAD_PROGRESS = 0x059A;
// Those five, in one list: the window hands every one of them to its reaction table (a message
// left out of the table is caught by its test, not lost at run time).
inline constexpr unsigned kWorkerMessages[] = {WM_UPDATER_DOWNLOADING, WM_UPDATER_DONE, WM_DATA_DOWNLOADING,
                                               WM_DATA_DONE, WM_DOWNLOAD_PROGRESS};
constexpr bool IsWorkerMessage(unsigned message) {
  for (const unsigned m : kWorkerMessages)
    if (m == message) return true;
  return false;
}
// The descriptor fetch's worker to the main window (wParam 1: stored); the tool's own message.
inline constexpr unsigned WM_FETCH_DONE = 0x8000 + 0x0101;  // WM_APP + 0x101
// Posted by the main window to itself once it is created: handled, it shows that the message loop
// runs (a replaced start confirms then).
inline constexpr unsigned WM_CONFIRM_STARTED = 0x8000 + 0x0102;  // WM_APP + 0x102
// The wait for a new version's confirmation (or the way back to the old one) has ended.
inline constexpr unsigned WM_REPLACEMENT_FINISHED = 0x8000 + 0x0103;  // WM_APP + 0x103
// The data-update program has ended (or the wait for it has) and the device has been read back.
inline constexpr unsigned WM_DATA_WRITE_DONE = 0x8000 + 0x0104;  // WM_APP + 0x104
// Tray icon callback.
inline constexpr unsigned WM_TRAY_NOTIFY = 0x07FE;
inline constexpr unsigned kTrayIconId = 128;

// Timers of the main window.
inline constexpr unsigned IDT_WATCH = 1;
inline constexpr unsigned IDT_ASK_AUTOSTART = 2;
inline constexpr unsigned IDT_START_HIDDEN = 3;
inline constexpr unsigned IDT_FORGET_DEVICE = 4;
// One-shot: a device arrived; a burst of arrival messages makes one poll.
inline constexpr unsigned IDT_DEVICE_ARRIVAL = 5;
// One-shot: a confirmed replacement removes the old copy once the old process has ended.
inline constexpr unsigned IDT_REMOVE_REPLACED = 6;

// Tray menu and system menu commands.
inline constexpr unsigned ID_TRAY_SHOW = 0x0401;
inline constexpr unsigned ID_TRAY_EXIT = 0x0406;
// Opens the history of outcomes ("升级记录").
inline constexpr unsigned ID_TRAY_HISTORY = 0x0402;
inline constexpr unsigned IDM_SYS_ABOUT = 0x0010;
// WM_SYSCOMMAND value that shows the main window (compared unmasked).
inline constexpr unsigned kSysCommandShow = 0x0401;

}  // namespace zt
