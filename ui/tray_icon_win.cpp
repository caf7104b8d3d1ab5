#include "ui/tray_icon_win.h"

#include <shellapi.h>

#include "base/ids.h"
#include "base/log.h"
#include "base/paths.h"
#include "res/resource.h"
#include "ui/window_logic.h"
#include "win/error.h"
#include "win/text.h"

namespace zt {

namespace {

constexpr UINT kTrayFlags = NIF_MESSAGE | NIF_ICON | NIF_INFO;
constexpr UINT kBalloonTimeoutMs = 8000;
// Spaced out: a shell that hangs makes each add wait for the shell's own time-out.
constexpr std::uint32_t kRetryTicks = 5;

// Copies into a fixed UTF-16 field, cut at a character boundary so the field always ends on a
// whole character and a terminating zero.
template <size_t N>
void CopyField(WCHAR (&field)[N], const std::string& utf8) {
  std::wstring w = Widen(FitUtf16Units(utf8, N - 1));
  if (w.size() > N - 1) {
    // Widening turned malformed bytes into more units than counted: cut again, never a half pair.
    w.resize(N - 1);
    if (!w.empty() && w.back() >= 0xD800 && w.back() <= 0xDBFF) w.pop_back();
  }
  w.copy(field, w.size());
  field[w.size()] = L'\0';
}

}  // namespace

TrayIcon::TrayIcon()
    : m_largeIcon(::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      m_smallIcon(static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                                  IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                                  ::GetSystemMetrics(SM_CXSMICON), LR_DEFAULTCOLOR))) {}

void TrayIcon::Attach(HWND window) {
  m_window = window;
  m_taskbarCreated = ::RegisterWindowMessageW(L"TaskbarCreated");
  // Run as administrator (as the Run-key message asks), the window would not receive the broadcast
  // from a shell with ordinary rights: a shell restart would lose the icon.
  if (m_taskbarCreated != 0 && !::ChangeWindowMessageFilterEx(window, m_taskbarCreated, MSGFLT_ALLOW, nullptr))
    LogEvent("window", LastErrorText("ChangeWindowMessageFilterEx"));
}

bool TrayIcon::OnTaskbarCreated(UINT message) {
  if (m_taskbarCreated == 0 || message != m_taskbarCreated) return false;
  LogEvent("tray", "taskbar created again: icon added");
  Add();
  return true;
}

// The icon's record as every add and balloon sends it, from a zeroed record: the icon and the
// callback are set again with each balloon.
NOTIFYICONDATAW TrayIcon::Record() const {
  NOTIFYICONDATAW nid{};
  nid.cbSize = sizeof(nid);
  nid.hWnd = m_window;
  nid.uID = kTrayIconId;
  nid.uFlags = kTrayFlags;
  nid.uCallbackMessage = WM_TRAY_NOTIFY;
  nid.hIcon = SmallIcon();
  nid.uTimeout = kBalloonTimeoutMs;
  nid.dwInfoFlags = NIIF_NOSOUND;
  return nid;
}

void TrayIcon::Add() {
  NOTIFYICONDATAW nid = Record();
  bool shown = ::Shell_NotifyIconW(NIM_ADD, &nid) != FALSE;
  const DWORD error = shown ? ERROR_SUCCESS : ::GetLastError();
  // An add fails when the icon is there already: a modify tells.
  if (!shown) shown = ::Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
  m_shown = shown;
  if (!shown && !m_failureLogged) {
    // At log-on the shell may not take icons yet; without the icon a hidden tool has no face.
    LogEvent("tray", ErrorText("Shell_NotifyIconW NIM_ADD", error) + "; tried again every few seconds");
    m_failureLogged = true;
  } else if (shown && m_failureLogged) {
    LogEvent("tray", "icon added again");
    m_failureLogged = false;
  }
}

void TrayIcon::Remove() {
  m_shown = false;
  NOTIFYICONDATAW nid{};
  nid.cbSize = sizeof(nid);
  nid.hWnd = m_window;
  nid.uID = kTrayIconId;
  ::Shell_NotifyIconW(NIM_DELETE, &nid);
}

void TrayIcon::RetryOnTick(std::uint32_t tick) {
  if (!m_shown && tick % kRetryTicks == 0) Add();
}

void TrayIcon::ShowBalloon(const std::string& utf8Text) {
  LogEvent("balloon", utf8Text.empty() ? std::string("(taken down)") : utf8Text);
  NOTIFYICONDATAW nid = Record();
  CopyField(nid.szInfoTitle, kBalloonTitle);
  CopyField(nid.szInfo, utf8Text);
  if (m_shown) {
    if (::Shell_NotifyIconW(NIM_MODIFY, &nid)) return;
    LogEvent("tray", "the shell no longer holds the icon: adding it again");
  }
  // Never taken, or lost: add the icon, then show the balloon on it.
  Add();
  if (m_shown) ::Shell_NotifyIconW(NIM_MODIFY, &nid);
}

UINT TrayIcon::TrackMenu() const {
  POINT pt{};
  ::GetCursorPos(&pt);
  UniqueMenu menu(::CreatePopupMenu());
  if (!menu) return 0;
  ::AppendMenuW(menu.get(), MF_STRING, ID_TRAY_SHOW, L"显示主界面");
  ::AppendMenuW(menu.get(), MF_STRING, ID_TRAY_HISTORY, L"升级记录");
  ::AppendMenuW(menu.get(), MF_STRING, ID_TRAY_EXIT, L"退出");
  // Without the foreground the menu would not close when the user clicks elsewhere.
  ::SetForegroundWindow(m_window);
  const UINT cmd =
      static_cast<UINT>(::TrackPopupMenu(menu.get(), TPM_RETURNCMD | TPM_BOTTOMALIGN | TPM_RIGHTALIGN | TPM_RIGHTBUTTON,
                                         pt.x, pt.y, 0, m_window, nullptr));
  ::PostMessageW(m_window, WM_NULL, 0, 0);
  return cmd;
}

}  // namespace zt
