#include "ui/auto_update_dlg_win.h"

#include <dbt.h>
#include <shellapi.h>

#include <chrono>

#include "ui/autorun_win.h"
#include "win/process.h"
#include "win/window_poster.h"
#include "base/fsutil.h"
#include "base/ids.h"
#include "base/descriptor.h"
#include "base/log.h"
#include "base/notice.h"
#include "base/paths.h"
#include "res/resource.h"
#include "ui/history_dlg_win.h"
#include "ui/progress_win.h"
#include "ui/window_logic.h"
#include "update/install/self_update_win.h"
#include "win/error.h"
#include "win/system_dll.h"
#include "win/text.h"

namespace zt {

namespace {

constexpr UINT kAskDelayMs = 1000;
constexpr UINT kStartHiddenDelayMs = 100;
// A device's arrival comes as several messages within a few milliseconds: one poll after them.
constexpr UINT kArrivalPollDelayMs = 50;
constexpr char kWebsiteUrl[] = "http://www.example.com/";
constexpr char kChatLink[] = "tencent://Message/?Uin=10000&Menu=yes";

bool FileExists(const std::string& utf8Path) {
  const DWORD a = ::GetFileAttributesW(Widen(utf8Path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// A dialog of this thread other than the main window (a message box, the About box) ends.
BOOL CALLBACK EndNestedDialog(HWND window, LPARAM main) {
  wchar_t cls[8] = {};
  if (window != reinterpret_cast<HWND>(main) && ::GetClassNameW(window, cls, 8) && std::wstring_view(cls) == L"#32770")
    ::EndDialog(window, IDCANCEL);
  return TRUE;
}

}  // namespace

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX) {}

CAutoUpdateDlg::CAutoUpdateDlg(MainWindowStart start) : CDialog(IDD_AUTOUPDATE_DIALOG), m_start(std::move(start)) {
  m_bAutoStart = IsAutoRunEnabled();
}

CAutoUpdateDlg::~CAutoUpdateDlg() = default;

void CAutoUpdateDlg::DoDataExchange(DataExchange& dx) {
  dx.Control(IDC_BTN_START_UPDATE, m_btnStartUpdate);
  dx.Text(IDC_EDIT_INFO, m_strInfo);
  dx.Check(IDC_CHK_AUTOSTART, m_bAutoStart);
}

BOOL CAutoUpdateDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  if (HMENU sys = ::GetSystemMenu(m_hWnd, FALSE)) {
    WCHAR about[128] = {};
    if (::LoadStringW(::GetModuleHandleW(nullptr), IDS_ABOUTBOX, about, 128) > 0) {
      ::AppendMenuW(sys, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuW(sys, MF_STRING, IDM_SYS_ABOUT, about);
    }
  }
  ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_tray.LargeIcon()));
  ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_tray.SmallIcon()));

  m_tray.Attach(m_hWnd);
  // Run as administrator (as the Run-key message asks), the window would not receive the
  // broadcast from an installer with ordinary rights, which could then not end the tool.
  if (const UINT message = EndInstanceMessage();
      message != 0 && !::ChangeWindowMessageFilterEx(m_hWnd, message, MSGFLT_ALLOW, nullptr))
    LogEvent("window", LastErrorText("ChangeWindowMessageFilterEx"));
  SetMainWindow(m_hWnd);
  RegisterForDeviceArrivals();
  m_tray.Add();
  ::SetTimer(m_hWnd, IDT_WATCH, kWatchPeriodMs, nullptr);
  m_handOver.Begin(m_hWnd, m_start.replacedStart);
  ::GetWindowRect(m_hWnd, &m_rcNormal);

  const int count = GetArgCount();
  const StartMode mode = DecideStartMode(count, count >= 1 ? GetArg(1) : std::string());
  switch (mode) {
    case StartMode::Hidden:
      LogEvent("window", "start hidden in the notification area");
      // Created visible by its template: shrink it to nothing now, hide it a moment later.
      ::MoveWindow(m_hWnd, 0, 0, 0, 0, TRUE);
      ::SetTimer(m_hWnd, IDT_START_HIDDEN, kStartHiddenDelayMs, nullptr);
      break;
    case StartMode::Visible:
      LogEvent("window", "start visible");
      RefreshInfo();
      ::SetTimer(m_hWnd, IDT_ASK_AUTOSTART, kAskDelayMs, nullptr);
      break;
    case StartMode::NoArguments:
      LogEvent("window", "start visible (no arguments: no auto-start question)");
      break;
  }
  return TRUE;
}

void CAutoUpdateDlg::ShowBalloon(const std::string& utf8Text) { m_tray.ShowBalloon(utf8Text); }

void CAutoUpdateDlg::ShowAndActivate() {
  ::ShowWindow(m_hWnd, SW_SHOW);
  ::SetForegroundWindow(m_hWnd);
}

void CAutoUpdateDlg::OnWatchTick() {
  m_watch.OnWatchTick();
  m_tray.RetryOnTick(m_watch.Tick());
  ConfirmIfUp();
}

void CAutoUpdateDlg::ConfirmIfUp() {
  if (m_handOver.ConfirmIfUp(m_tray.Shown())) ShowBalloon(ReplacedText(std::string(kAppVersion)));
}

void CAutoUpdateDlg::RegisterForDeviceArrivals() {
  const HidFunctions* hid = Hid();
  if (!hid) return;
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  hid->HidD_GetHidGuid(&filter.dbcc_classguid);
  m_hDeviceNotify.reset(::RegisterDeviceNotificationW(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
  if (!m_hDeviceNotify)
    LogEvent("device", LastErrorText("RegisterDeviceNotificationW") + "; the poll every third second remains");
}

void CAutoUpdateDlg::OnTimer(UINT_PTR id) {
  if (m_bQuitting) return;
  switch (id) {
    case IDT_WATCH:
      OnWatchTick();
      break;
    case IDT_ASK_AUTOSTART:
      OnAskAutoStart();
      break;
    case IDT_START_HIDDEN:
      OnStartHidden();
      break;
    case IDT_FORGET_DEVICE:
      m_watch.OnForgetTick();
      break;
    case IDT_DEVICE_ARRIVAL:
      ::KillTimer(m_hWnd, IDT_DEVICE_ARRIVAL);
      m_watch.OnDeviceArrival();
      break;
    case IDT_REMOVE_REPLACED:
      m_handOver.OnRemoveTimer();
      break;
    default:
      break;
  }
}

void CAutoUpdateDlg::OnAskAutoStart() {
  ::KillTimer(m_hWnd, IDT_ASK_AUTOSTART);  // asked at most once per run
  if (m_bAutoStart) return;
  if (AppMessageBox(kAskAutoStartText, MB_YESNO) != IDYES) return;
  SetAutoRun(BuildAutoRunCommand(GetModulePath()), true);
  UpdateData(true);
  m_bAutoStart = IsAutoRunEnabled();
  UpdateData(false);
}

void CAutoUpdateDlg::OnStartHidden() {
  ::KillTimer(m_hWnd, IDT_START_HIDDEN);
  ::ShowWindow(m_hWnd, SW_HIDE);
  ::MoveWindow(m_hWnd, m_rcNormal.left, m_rcNormal.top, m_rcNormal.right - m_rcNormal.left,
               m_rcNormal.bottom - m_rcNormal.top, TRUE);
  // Centred while hidden, so that it shows centred when first shown.
  CenterOver(nullptr);
  RefreshInfo();
}

void CAutoUpdateDlg::RefreshInfo() {
  UpdateData(true);
  const std::string root = kUpdateRoot;
  const bool missing = LocalFilesMissing(FileExists(root + kDataProgramName), FileExists(root + kDescriptorName));
  // The fetch runs on a worker; its end loads the local descriptor and starts the data thread.
  if (missing && !m_bBusy) m_watch.RequestRefreshFetch();
  // Hidden until something waits for it: a package put off on a metered connection, or a device
  // whose writes failed.
  const unsigned waiting = StartWaiting();
  if (m_btnStartUpdate) {
    ::EnableWindow(m_btnStartUpdate, missing && !(waiting & kPackageDeferred) ? FALSE : TRUE);
    const bool show = waiting != kNothingWaiting;
    if ((::IsWindowVisible(m_btnStartUpdate) != FALSE) != show)
      ::ShowWindow(m_btnStartUpdate, show ? SW_SHOW : SW_HIDE);
  }
  const LocalDescriptor local = TheDescriptorState().Local();
  m_strInfo = BuildInfoText(missing, m_bBusy, GbkToUtf8(local.dataVersion), GbkToUtf8(local.dataTime),
                            GbkToUtf8(local.dataDesc), InfoNotice());
  UpdateData(false);
}

void CAutoUpdateDlg::OnChkAutoStart() {
  UpdateData(true);
  const bool wanted = m_bAutoStart;
  SetAutoRun(BuildAutoRunCommand(GetModulePath()), wanted);
  // Show what is true, not what was asked: a failed write must not leave the box ticked.
  m_bAutoStart = IsAutoRunEnabled();
  UpdateData(false);
  if (m_bAutoStart != wanted) {
    LogEvent("autorun", std::string("check box ") + (wanted ? "ticked" : "cleared") + " but the Run value is " +
                            (m_bAutoStart ? "present" : "absent"));
  }
}

void CAutoUpdateDlg::OnCommand(UINT id) {
  switch (id) {
    case IDC_BTN_CLOSE:
      if (MayQuitNow()) QuitProgram("close button");
      break;
    case ID_TRAY_EXIT:  // the tray menu's command, as the installer and tools of the earlier kind send it
      QuitProgram("tray menu exit command");
      break;
    case IDC_BTN_BACKGROUND:
      ::ShowWindow(m_hWnd, SW_HIDE);
      break;
    case IDC_BTN_START_UPDATE:
      OnStartButton();
      break;
    case IDC_CHK_AUTOSTART:
      OnChkAutoStart();
      break;
    case IDC_BTN_WEBSITE:
      ::ShellExecuteW(nullptr, L"open", Widen(kWebsiteUrl).c_str(), nullptr, nullptr, SW_SHOW);
      break;
    case IDC_BTN_CHAT:
      ::ShellExecuteW(nullptr, L"open", Widen(kChatLink).c_str(), nullptr, nullptr, SW_SHOW);
      break;
    case IDOK:
      OnOK();
      break;
    case IDCANCEL:
      OnCancel();
      break;
    default:
      break;
  }
}

bool CAutoUpdateDlg::OnWorkerMessage(UINT message, WPARAM wParam) {
  if (m_bQuitting) return true;
  const LocalDescriptor local = TheDescriptorState().Local();
  const WorkerReaction r =
      ReactToWorkerMessage(message, static_cast<std::uintptr_t>(wParam), ::IsWindowVisible(m_hWnd) != FALSE,
                           m_progressOwner, GbkToUtf8(local.dataVersion), GbkToUtf8(local.dataTime));
  if (!r.handled) return false;
  if (r.balloon) ShowBalloon(*r.balloon);
  if (r.showProgress) ShowProgress(*r.showProgress, 0);
  if (r.setProgress) SetProgress(*r.setProgress);
  if (r.hideProgress) HideProgress();
  m_progressOwner = r.progressOwner;
  if (r.busy) m_bBusy = *r.busy;
  if (r.refreshInfo) RefreshInfo();
  if (r.destroy) {
    // The new version, started already, waits for the marker. This window and its tray icon stay,
    // doing nothing, until the new one is up with its own icon (or the old one is back): the tray
    // is never empty while the tool changes hands.
    StopWork("the tool was replaced by its new version");
    if (m_start.releaseInstanceMarker) m_start.releaseInstanceMarker();
    if (!m_handOver.WaitForNewVersion()) QuitProgram("no wait for the new version");
  }
  return true;
}

void CAutoUpdateDlg::QuitProgram(std::string_view why) {
  StopWork(why);
  m_tray.Remove();
  EndDialog(IDCANCEL);
}

void CAutoUpdateDlg::StopWork(std::string_view why) {
  if (m_bQuitting) return;
  m_bQuitting = true;
  LogEvent("quit", why);
  // Nothing may start any more, not even while a nested loop unwinds: a new version may be waiting
  // for this process to end.
  for (const UINT id :
       {IDT_WATCH, IDT_ASK_AUTOSTART, IDT_START_HIDDEN, IDT_FORGET_DEVICE, IDT_DEVICE_ARRIVAL, IDT_REMOVE_REPLACED})
    ::KillTimer(m_hWnd, id);
  m_hDeviceNotify.reset();
  // A message box, the About box or the tray menu runs a loop of its own inside the main window's,
  // which would keep the program alive (hidden) until the user closes it: end those first.
  ::EndMenu();
  ::EnumThreadWindows(::GetCurrentThreadId(), &EndNestedDialog, reinterpret_cast<LPARAM>(m_hWnd));
}

void CAutoUpdateDlg::OnPaintIconic() {
  PAINTSTRUCT ps;
  HDC dc = ::BeginPaint(m_hWnd, &ps);
  ::SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT rc{};
  ::GetClientRect(m_hWnd, &rc);
  const int x = (rc.right - rc.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (rc.bottom - rc.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
  ::DrawIcon(dc, x, y, m_tray.LargeIcon());
  ::EndPaint(m_hWnd, &ps);
}

INT_PTR CAutoUpdateDlg::OnTrayNotify(LPARAM mouseMessage) {
  if (m_bQuitting) return TRUE;  // the icon stays only until the new version shows its own
  if (mouseMessage == WM_LBUTTONUP) {
    ShowAndActivate();
    return FALSE;
  }
  if (mouseMessage == WM_RBUTTONUP) {
    const UINT cmd = m_tray.TrackMenu();
    if (cmd == ID_TRAY_SHOW) ShowAndActivate();
    if (cmd == ID_TRAY_HISTORY) {
      CHistoryDlg history;
      history.DoModal(m_hWnd);
    }
    if (cmd == ID_TRAY_EXIT && MayQuitNow()) QuitProgram("tray menu");
    SetResult(1);
    return TRUE;
  }
  return FALSE;
}

INT_PTR CAutoUpdateDlg::OnSystemCommand(WPARAM command) {
  // Compared unmasked, as the shell and the tray send them.
  if (command == kSysCommandShow) {
    ShowAndActivate();
    return FALSE;
  }
  if (command == SC_MINIMIZE || command == SC_CLOSE) {
    // Never minimized, never closed this way: the tool stays in the tray.
    ::ShowWindow(m_hWnd, SW_HIDE);
    SetResult(1);
    return TRUE;
  }
  if ((command & 0xFFF0) == IDM_SYS_ABOUT) {
    CAboutDlg about;
    about.DoModal(m_hWnd);
    return TRUE;
  }
  return FALSE;
}

bool CAutoUpdateDlg::OnToolMessage(UINT message, WPARAM wParam) {
  if (message == EndInstanceMessage() && message != 0) {
    QuitProgram("asked to end by /exit");
  } else if (IsWorkerMessage(message)) {
    OnWorkerMessage(message, wParam);
  } else if (message == WM_REPLACEMENT_FINISHED) {
    QuitProgram("the new version is up, or the previous one is back");
  } else if (message == WM_CONFIRM_STARTED) {
    ConfirmIfUp();
  } else if (message == WM_DATA_WRITE_DONE) {
    OnWriteDone();
  } else if (message == WM_FETCH_DONE) {
    if (!m_bQuitting) m_watch.OnFetchDone(wParam != 0);
  } else {
    return m_tray.OnTaskbarCreated(message);
  }
  return true;
}

void CAutoUpdateDlg::OnDeviceChange(WPARAM event, LPARAM data) {
  // A HID interface arrived, or (data 0) the set of devices changed: poll at once rather than at the
  // next third second.
  if (event == DBT_DEVNODES_CHANGED ||
      (event == DBT_DEVICEARRIVAL && data != 0 &&
       reinterpret_cast<const DEV_BROADCAST_HDR*>(data)->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)) {
    if (!m_bQuitting) ::SetTimer(m_hWnd, IDT_DEVICE_ARRIVAL, kArrivalPollDelayMs, nullptr);
  }
}

INT_PTR CAutoUpdateDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (OnToolMessage(message, wParam)) {
    SetResult(1);
    return TRUE;
  }
  switch (message) {
    case WM_TRAY_NOTIFY:
      return OnTrayNotify(lParam);
    case WM_SYSCOMMAND:
      return OnSystemCommand(wParam);
    case WM_TIMER:
      OnTimer(static_cast<UINT_PTR>(wParam));
      return TRUE;
    case WM_QUERYENDSESSION:
      // Windows asks before it shuts down or logs off: not while the device is written (the reason
      // set with the write says why).
      if (m_write) LogEvent("quit", "the end of the session was held off: the device is being written");
      SetResult(m_write ? FALSE : TRUE);
      return TRUE;
    case WM_DEVICECHANGE:
      OnDeviceChange(wParam, lParam);
      SetResult(TRUE);
      return TRUE;
    case WM_PAINT:
      if (::IsIconic(m_hWnd)) {
        OnPaintIconic();
        return TRUE;
      }
      return FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_tray.LargeIcon());
    case WM_DESTROY:
      ::KillTimer(m_hWnd, IDT_WATCH);
      m_tray.Remove();
      SetMainWindow(nullptr);
      return FALSE;
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) {
        OnCommand(LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace zt
