// probe.exe: drives and reads the tool's windows from outside, for the scenarios. Test rig, never
// shipped. Every result is printed as UTF-8 lines on stdout; exit code 0 = done/true,
// 1 = not found/false/timed out, 2 = usage.
//
//   probe find [WIN]                 "hwnd=0x.. pid=N visible=0|1" of the window
//   probe visible [WIN]              "1" or "0" (exit 1 when the window does not exist)
//   probe rect [WIN]                 "x y width height" of the window on the screen
//   probe client [WIN]               the same for its client area (what a screenshot should show
//                                    where no window manager draws the frame)
//   probe text ID                    text of control ID of the main window
//   probe checked ID | enabled ID | shown ID     "1" or "0" for control ID of the main window
//   probe click ID                   posts BM_CLICK to control ID of the main window
//   probe command ID                 posts WM_COMMAND (ID, BN_CLICKED) to the main window, as a
//                                    click would, also for a hidden or disabled button
//   probe progress                   "visible=0|1 pos=N text=T" of the progress window
//   probe tick TIMER [N]             sends WM_TIMER TIMER to the main window N times (default 1)
//   probe post MSG [WPARAM [LPARAM]] posts MSG (a number such as 0x0593, or a registered name
//                                    such as TaskbarCreated) to the main window: "posted at=MS"
//                                    with the time in milliseconds since 1970
//   probe cpu                        "ms=N" CPU time (kernel and user) of the main window's process
//   probe memory                     "peak=N now=N" the working set of the main window's process in
//                                    bytes, its peak and now
//   probe send MSG [WPARAM [LPARAM [TIMEOUT_MS]]]   sends it and waits: "result=N ms=N" or
//                                    "timeout ms=N" (exit 1); the default time-out is 10000
//   probe post-to WIN MSG [WPARAM [LPARAM]]   posts MSG to window WIN (e.g. WM_COMMAND 1 to about)
//   probe list                       every top-level window: "0xHWND pid=N visible=0|1 class=C caption=T"
//   probe wait WIN MS                waits up to MS for WIN to exist and be visible
//   probe gone WIN MS                waits up to MS for WIN to stop existing
//   probe menu                       "items=N" of the visible popup menu (exit 1 when none)
//   probe menu-pick N                picks item N (1-based) of the visible popup menu by keyboard
//   probe menu-dismiss               closes the visible popup menu without a choice
//   probe tray-delete                removes the main window's tray icon (id 128) behind its back,
//                                    as a shell that lost it would
//   probe box                        caption and texts of a visible message box: "caption=..",
//                                    "text=.." per static line
//   probe texts WIN                  "text=.." of every control inside window WIN, its pages'
//                                    (an installer's inner dialog) included
//   probe box-answer BUTTON          clicks BUTTON (yes, no, ok, cancel or a number) in it
//   probe hold FILE WHEN DELAY MS    prints "waiting", waits up to MS for the file WHEN to exist,
//                                    then DELAY more milliseconds, then holds FILE open for MS as a
//                                    scanner would: others may read it, nobody may rename, delete
//                                    or write it (exit 1 when WHEN never came or FILE could not be
//                                    opened)
//   probe gap MS                     watches the main window for up to MS while the tool replaces
//                                    itself: "gap_ms=N" once a main window of another process
//                                    answers, N the longest time no main window answered or no
//                                    tray icon was shown (each change printed as "t=TICKS pid=N")
//   probe lock NAME MS               owns the mutex NAME ("held") for MS, then ends without
//                                    releasing it, as a tool that ended mid-work would
//   probe lock-file FILE MS          opens FILE (made when missing) sharing everything and locks
//                                    every byte of it, as far as a file can reach, for MS: "held"
//                                    (exit 1 when the lock cannot be had)
//   probe add-root FILE.der          adds the certificate to the local machine's ROOT store (as a
//                                    test root that WinINet then trusts): "added"
//
// WIN: main (default), progress, about, updater (the data-update program), or any exact caption.
// ID and numbers: decimal or 0x hex.
//
// Named data_update.exe, the same program is a stand-in for the data-update program: it shows a
// window captioned "ZT_PNV 系统升级工具" for ZT_STANDIN_MS milliseconds (default 4000) and appends
// "started" and "ended" lines to C:\ZT_Update\standin.log.
#include <windows.h>
#include <shellapi.h>
#include <wincrypt.h>
#include <commctrl.h>
#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "base/ids.h"
#include "res/resource.h"

namespace {

long long UnixMs() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  return (static_cast<long long>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) / 10000 - 11644473600000LL;
}

const wchar_t kMainCaption[] = L"安全驾驶导引系统——自动升级工具 V2.6";
const wchar_t kProgressCaption[] = L"自动升级工具";
const wchar_t kAboutCaption[] = L"关于 ZT_AutoUpdate";
const wchar_t kHistoryCaption[] = L"升级记录";
const wchar_t kUpdaterCaption[] = L"ZT_PNV 系统升级工具";

std::string ToUtf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

void Print(const std::string& line) {
  const std::string s = line + "\n";
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), s.data(), static_cast<DWORD>(s.size()), &written, nullptr);
}

std::string Hex(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return buf;
}

// Line ends inside a text are shown as \r and \n so one text stays one line.
std::string OneLine(const std::wstring& w) {
  std::string out;
  for (char c : ToUtf8(w)) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::wstring WindowText(HWND w) {
  // WM_GETTEXT works across processes (the system marshals it), GetWindowText does not for controls.
  const LRESULT n = ::SendMessageW(w, WM_GETTEXTLENGTH, 0, 0);
  std::wstring buf(static_cast<size_t>(n) + 1, L'\0');
  const LRESULT got = ::SendMessageW(w, WM_GETTEXT, static_cast<WPARAM>(n + 1), reinterpret_cast<LPARAM>(buf.data()));
  buf.resize(static_cast<size_t>(got > 0 ? got : 0));
  return buf;
}

std::wstring ClassOf(HWND w) {
  wchar_t buf[256] = {};
  ::GetClassNameW(w, buf, 256);
  return buf;
}

bool ParseNumber(const wchar_t* s, long long* out) {
  wchar_t* end = nullptr;
  const long long v = std::wcstoll(s, &end, 0);
  if (!end || *end != L'\0' || end == s) return false;
  *out = v;
  return true;
}

std::wstring CaptionOf(const std::wstring& name) {
  if (name == L"main") return kMainCaption;
  if (name == L"progress") return kProgressCaption;
  if (name == L"about") return kAboutCaption;
  if (name == L"updater") return kUpdaterCaption;
  if (name == L"history") return kHistoryCaption;
  return name;
}

HWND FindTop(const std::wstring& name) { return ::FindWindowW(nullptr, CaptionOf(name).c_str()); }

HWND MainWindow() { return ::FindWindowW(L"#32770", kMainCaption); }

struct Found {
  std::vector<HWND> windows;
  const wchar_t* cls;
};

BOOL CALLBACK CollectTop(HWND w, LPARAM p) {
  auto* f = reinterpret_cast<Found*>(p);
  if (!f->cls || ClassOf(w) == f->cls) f->windows.push_back(w);
  return TRUE;
}

std::vector<HWND> TopWindows(const wchar_t* cls) {
  Found f{{}, cls};
  ::EnumWindows(&CollectTop, reinterpret_cast<LPARAM>(&f));
  return f.windows;
}

HWND VisiblePopupMenu() {
  for (HWND w : TopWindows(L"#32768")) {
    if (::IsWindowVisible(w)) return w;
  }
  return nullptr;
}

// A visible message box: a dialog with a static text, not one of the tool's own windows, nor a
// wizard (an installer's window, which holds its pages as a dialog inside it).
HWND VisibleMessageBox() {
  for (HWND w : TopWindows(L"#32770")) {
    if (!::IsWindowVisible(w)) continue;
    const std::wstring caption = WindowText(w);
    if (caption == kMainCaption || caption == kProgressCaption || caption == kAboutCaption ||
        caption == kHistoryCaption)
      continue;
    if (::FindWindowExW(w, nullptr, L"#32770", nullptr)) continue;
    return w;
  }
  return nullptr;
}

BOOL CALLBACK PrintText(HWND w, LPARAM) {
  const std::wstring text = WindowText(w);
  if (!text.empty()) Print("text=" + OneLine(text));
  return TRUE;
}

// A number (0 = WM_NULL is valid) or a registered name; false when neither.
bool MessageNumber(const wchar_t* s, UINT* msg) {
  long long v = 0;
  if (ParseNumber(s, &v)) {
    *msg = static_cast<UINT>(v);
    return true;
  }
  *msg = ::RegisterWindowMessageW(s);
  return *msg != 0;
}

int Usage() {
  Print("usage: probe COMMAND ... (see the top of probe.cpp)");
  return 2;
}

int StandIn() {
  DWORD ms = 4000;
  wchar_t env[32] = {};
  if (::GetEnvironmentVariableW(L"ZT_STANDIN_MS", env, 32) > 0) ms = static_cast<DWORD>(std::wcstoul(env, nullptr, 10));
  auto note = [](const char* what) {
    HANDLE f = ::CreateFileW(L"C:\\ZT_Update\\standin.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    const std::string line = std::string(what) + "\r\n";
    DWORD written = 0;
    ::WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(f);
  };
  WNDCLASSW wc{};
  wc.lpfnWndProc = ::DefWindowProcW;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = L"ZtStandInUpdater";
  ::RegisterClassW(&wc);
  HWND w = ::CreateWindowW(wc.lpszClassName, kUpdaterCaption, WS_OVERLAPPEDWINDOW, 100, 100, 300, 120, nullptr, nullptr,
                           wc.hInstance, nullptr);
  ::ShowWindow(w, SW_SHOW);
  note("started");
  const DWORD end = ::GetTickCount() + ms;
  for (;;) {
    const DWORD now = ::GetTickCount();
    if (static_cast<LONG>(end - now) <= 0) break;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLINPUT);
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
  }
  ::DestroyWindow(w);
  note("ended");
  return 0;
}

bool IsStandIn() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  const wchar_t* base = std::wcsrchr(path, L'\\');
  base = base ? base + 1 : path;
  return _wcsicmp(base, L"data_update.exe") == 0;
}

int ControlQuery(const std::wstring& what, int id) {
  HWND main = MainWindow();
  if (!main) {
    Print("error=no main window");
    return 1;
  }
  HWND c = ::GetDlgItem(main, id);
  if (!c) {
    Print("error=no control");
    return 1;
  }
  if (what == L"text") {
    Print(OneLine(WindowText(c)));
    return 0;
  }
  bool v = false;
  if (what == L"checked") v = ::SendMessageW(c, BM_GETCHECK, 0, 0) == BST_CHECKED;
  if (what == L"enabled") v = ::IsWindowEnabled(c) != FALSE;
  if (what == L"shown") v = (::GetWindowLongW(c, GWL_STYLE) & WS_VISIBLE) != 0;
  if (what == L"click") {
    ::PostMessageW(c, BM_CLICK, 0, 0);
    Print("clicked");
    return 0;
  }
  Print(v ? "1" : "0");
  return v ? 0 : 1;
}

// The process of a main window that answers within 50 ms (a window that is being destroyed, or
// whose thread is blocked, does not); 0 when none does.
DWORD AnsweringMainWindowProcess() {
  for (HWND w : TopWindows(L"#32770")) {
    if (WindowText(w) != kMainCaption) continue;
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(w, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, 50, &result)) continue;
    DWORD pid = 0;
    ::GetWindowThreadProcessId(w, &pid);
    return pid;
  }
  return 0;
}

int Gap(DWORD ms) {
  const DWORD end = ::GetTickCount() + ms;
  DWORD first = 0, longest = 0, goneSince = 0, shown = ~0u;
  bool gone = false;
  while (static_cast<LONG>(end - ::GetTickCount()) > 0) {
    // Away: no main window answers, or no tray icon is shown (Wine's tray shows while it holds one;
    // in the test prefix the tool is the only program with an icon).
    HWND tray = ::FindWindowW(nullptr, L"Wine System Tray");
    const DWORD pid = tray && ::IsWindowVisible(tray) ? AnsweringMainWindowProcess() : 0;
    const DWORD now = ::GetTickCount();
    if (pid != shown) Print("t=" + std::to_string(now) + " pid=" + std::to_string(shown = pid));
    if (pid == 0 && first != 0 && !gone) {
      gone = true;
      goneSince = now;
    } else if (pid != 0) {
      if (gone) longest = std::max(longest, now - goneSince);
      gone = false;
      if (first == 0) first = pid;
      if (pid != first) {
        Print("gap_ms=" + std::to_string(longest));
        return 0;
      }
    }
    ::Sleep(5);
  }
  Print("timeout");
  return 1;
}

int Lock(const wchar_t* name, DWORD ms) {
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name);
  const DWORD waited = mutex ? ::WaitForSingleObject(mutex, 0) : WAIT_FAILED;
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    Print("busy");
    return 1;
  }
  Print("held");
  ::Sleep(ms);
  return 0;  // never released: the lock is abandoned
}

// The command line after the command: window names, numbers, paths.
struct Args {
  int argc;
  wchar_t** argv;
  std::wstring command;
  std::wstring At(int i, const wchar_t* otherwise = L"") const { return i < argc ? argv[i] : otherwise; }
  bool Number(int i, long long* out) const { return i < argc && ParseNumber(argv[i], out); }
  // An optional number: true when absent (out keeps its value) or well formed.
  bool Optional(int i, long long* out) const { return i >= argc || ParseNumber(argv[i], out); }
  std::wstring Window() const { return At(2, L"main"); }
};

HWND NamedWindow(const std::wstring& name) { return name == L"main" ? MainWindow() : FindTop(name); }

// The main window, or nothing after saying so.
HWND RequireMain() {
  HWND main = MainWindow();
  if (!main) Print("error=no main window");
  return main;
}

int WindowFacts(const Args& a) {
  HWND w = NamedWindow(a.Window());
  if (!w) {
    Print(a.command == L"visible" ? "0" : "error=not found");
    return 1;
  }
  if (a.command == L"visible") {
    const bool v = ::IsWindowVisible(w) != FALSE;
    Print(v ? "1" : "0");
    return v ? 0 : 1;
  }
  if (a.command == L"rect" || a.command == L"client") {
    RECT r{};
    if (a.command == L"rect") {
      ::GetWindowRect(w, &r);
    } else {
      ::GetClientRect(w, &r);
      ::MapWindowPoints(w, nullptr, reinterpret_cast<POINT*>(&r), 2);
    }
    Print(std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + " " +
          std::to_string(r.bottom - r.top));
    return 0;
  }
  DWORD pid = 0;
  ::GetWindowThreadProcessId(w, &pid);
  Print("hwnd=" + Hex(w) + " pid=" + std::to_string(pid) + " visible=" + (::IsWindowVisible(w) ? "1" : "0"));
  return 0;
}

int Control(const Args& a) {
  long long id = 0;
  if (!a.Number(2, &id)) return Usage();
  return ControlQuery(a.command, static_cast<int>(id));
}

int Tick(const Args& a) {
  long long timer = 0, times = 1;
  if (!a.Number(2, &timer) || !a.Optional(3, &times)) return Usage();
  HWND main = RequireMain();
  if (!main) return 1;
  for (long long i = 0; i < times; ++i) {
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(main, WM_TIMER, static_cast<WPARAM>(timer), 0, SMTO_NORMAL, 60000, &result)) {
      Print("timeout at tick " + std::to_string(i + 1));
      return 1;
    }
  }
  Print("ticks=" + std::to_string(times));
  return 0;
}

int PostOrSend(const Args& a) {
  UINT msg = 0;
  long long wp = 0, lp = 0, timeout = 10000;
  if (a.argc < 3 || !a.Optional(3, &wp) || !a.Optional(4, &lp) || !a.Optional(5, &timeout)) return Usage();
  const bool known = MessageNumber(a.argv[2], &msg);
  HWND main = MainWindow();
  if (!main || !known) {
    Print("error=no main window or message");
    return 1;
  }
  if (a.command == L"post") {
    const long long at = UnixMs();
    const BOOL ok = ::PostMessageW(main, msg, static_cast<WPARAM>(wp), static_cast<LPARAM>(lp));
    Print(ok ? "posted at=" + std::to_string(at) : "error=PostMessageW failed");
    return ok ? 0 : 1;
  }
  const DWORD start = ::GetTickCount();
  DWORD_PTR result = 0;
  const LRESULT ok = ::SendMessageTimeoutW(main, msg, static_cast<WPARAM>(wp), static_cast<LPARAM>(lp), SMTO_NORMAL,
                                           static_cast<UINT>(timeout), &result);
  const DWORD ms = ::GetTickCount() - start;
  if (!ok) {
    Print("timeout ms=" + std::to_string(ms));
    return 1;
  }
  Print("result=" + std::to_string(static_cast<long long>(result)) + " ms=" + std::to_string(ms));
  return 0;
}

int Command(const Args& a) {
  long long id = 0;
  if (!a.Number(2, &id)) return Usage();
  HWND main = RequireMain();
  if (!main) return 1;
  HWND c = ::GetDlgItem(main, static_cast<int>(id));
  ::PostMessageW(main, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED), reinterpret_cast<LPARAM>(c));
  Print("posted");
  return 0;
}

int TrayDelete(const Args&) {
  HWND main = RequireMain();
  if (!main) return 1;
  NOTIFYICONDATAW nid{};
  nid.cbSize = sizeof(nid);
  nid.hWnd = main;
  nid.uID = zt::kTrayIconId;
  const BOOL ok = ::Shell_NotifyIconW(NIM_DELETE, &nid);
  Print(ok ? "deleted" : "error=Shell_NotifyIconW failed");
  return ok ? 0 : 1;
}

int Progress(const Args&) {
  HWND w = ::FindWindowW(L"#32770", kProgressCaption);
  if (!w) {
    Print("error=no progress window");
    return 1;
  }
  const LRESULT pos = ::SendMessageW(::GetDlgItem(w, IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0);
  Print(std::string("visible=") + (::IsWindowVisible(w) ? "1" : "0") + " pos=" + std::to_string(pos) +
        " text=" + OneLine(WindowText(::GetDlgItem(w, IDC_PROGRESS_TEXT))));
  return 0;
}

int PostTo(const Args& a) {
  UINT msg = 0;
  long long wp = 0, lp = 0;
  if (a.argc < 4 || !a.Optional(4, &wp) || !a.Optional(5, &lp)) return Usage();
  HWND w = FindTop(a.Window());
  const bool known = MessageNumber(a.argv[3], &msg);
  if (!w || !known) {
    Print("error=no window or message");
    return 1;
  }
  ::PostMessageW(w, msg, static_cast<WPARAM>(wp), static_cast<LPARAM>(lp));
  Print("posted");
  return 0;
}

int List(const Args&) {
  for (HWND w : TopWindows(nullptr)) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(w, &pid);
    Print(Hex(w) + " pid=" + std::to_string(pid) + " visible=" + (::IsWindowVisible(w) ? "1" : "0") +
          " class=" + ToUtf8(ClassOf(w)) + " caption=" + OneLine(WindowText(w)));
  }
  return 0;
}

int WaitOrGone(const Args& a) {
  long long ms = 0;
  if (!a.Number(3, &ms)) return Usage();
  const bool wait = a.command == L"wait";
  const DWORD end = ::GetTickCount() + static_cast<DWORD>(ms);
  for (;;) {
    HWND w = NamedWindow(a.Window());
    if (wait ? w && ::IsWindowVisible(w) : !w) {
      Print(wait ? "hwnd=" + Hex(w) : "gone");
      return 0;
    }
    if (static_cast<LONG>(end - ::GetTickCount()) <= 0) break;
    ::Sleep(50);
  }
  Print("timeout");
  return 1;
}

int Menu(const Args& a) {
  HWND m = VisiblePopupMenu();
  if (!m) {
    Print("error=no menu");
    return 1;
  }
  if (a.command == L"menu") {
    // The item count, where the system lets another process read the menu (-1 where not).
    HMENU h = reinterpret_cast<HMENU>(::SendMessageW(m, MN_GETHMENU, 0, 0));
    Print("items=" + std::to_string(h ? ::GetMenuItemCount(h) : -1));
    return 0;
  }
  if (a.command == L"menu-dismiss") {
    ::PostMessageW(m, WM_KEYDOWN, VK_ESCAPE, 0);
    Print("dismissed");
    return 0;
  }
  long long item = 0;
  if (!a.Number(2, &item) || item < 1) return Usage();
  for (long long i = 0; i < item; ++i) ::PostMessageW(m, WM_KEYDOWN, VK_DOWN, 0);
  ::PostMessageW(m, WM_KEYDOWN, VK_RETURN, 0);
  Print("picked");
  return 0;
}

int Box(const Args& a) {
  HWND b = VisibleMessageBox();
  if (!b) {
    Print("error=no message box");
    return 1;
  }
  if (a.command == L"box") {
    Print("caption=" + OneLine(WindowText(b)));
    for (HWND c = ::GetWindow(b, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
      if (ClassOf(c) == L"Static" && !WindowText(c).empty()) Print("text=" + OneLine(WindowText(c)));
    }
    return 0;
  }
  const std::wstring answer = a.At(2);
  long long id = 0;
  if (answer == L"yes") {
    id = IDYES;
  } else if (answer == L"no") {
    id = IDNO;
  } else if (answer == L"ok") {
    id = IDOK;
  } else if (answer == L"cancel") {
    id = IDCANCEL;
  } else if (!a.Number(2, &id)) {
    return Usage();
  }
  HWND button = ::GetDlgItem(b, static_cast<int>(id));
  if (!button) {
    Print("error=no such button");
    return 1;
  }
  ::PostMessageW(button, BM_CLICK, 0, 0);
  Print("answered");
  return 0;
}

int Texts(const Args& a) {
  HWND w = NamedWindow(a.Window());
  if (!w) {
    Print("error=not found");
    return 1;
  }
  ::EnumChildWindows(w, &PrintText, 0);
  return 0;
}

int Cpu(const Args&) {
  HWND main = MainWindow();
  DWORD pid = 0;
  if (main) ::GetWindowThreadProcessId(main, &pid);
  HANDLE process = pid ? ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid) : nullptr;
  FILETIME created, ended, kernel, user;
  const bool ok = process && ::GetProcessTimes(process, &created, &ended, &kernel, &user);
  if (process) ::CloseHandle(process);
  if (!ok) {
    Print("error=no process times");
    return 1;
  }
  const auto ms = [](const FILETIME& f) {
    return (static_cast<long long>(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 10000;
  };
  Print("ms=" + std::to_string(ms(kernel) + ms(user)));
  return 0;
}

// The main window's process, opened to read its figures; nullptr after saying why not.
HANDLE MainWindowProcess(DWORD access) {
  HWND main = MainWindow();
  DWORD pid = 0;
  if (main) ::GetWindowThreadProcessId(main, &pid);
  HANDLE process = pid ? ::OpenProcess(access, FALSE, pid) : nullptr;
  if (!process) Print("error=no main window process");
  return process;
}

int Memory(const Args&) {
  HANDLE process = MainWindowProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ);
  if (!process) return 1;
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  SIZE_T peak = 0, now = 0;
  if (::GetProcessMemoryInfo(process, &counters, sizeof counters)) {
    peak = counters.PeakWorkingSetSize;
    now = counters.WorkingSetSize;
  }
  // Wine's psapi answers with zeros; its ntdll gives the figures (read from the process's status).
  if (peak == 0) {
    using QueryFn = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    VM_COUNTERS vm{};
    constexpr ULONG kProcessVmCounters = 3;
    if (query && query(process, kProcessVmCounters, &vm, sizeof vm, nullptr) == 0) {
      peak = vm.PeakWorkingSetSize;
      now = vm.WorkingSetSize;
    }
  }
  ::CloseHandle(process);
  if (peak == 0) {
    Print("error=no memory figures");
    return 1;
  }
  Print("peak=" + std::to_string(peak) + " now=" + std::to_string(now));
  return 0;
}

int LockFile(const Args& a) {
  long long ms = 0;
  if (!a.Number(3, &ms)) return Usage();
  HANDLE f =
      ::CreateFileW(a.argv[2], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  OVERLAPPED whole{};
  if (f == INVALID_HANDLE_VALUE ||
      !::LockFileEx(f, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)) {
    Print("busy");
    return 1;
  }
  Print("held");
  ::Sleep(static_cast<DWORD>(ms));
  ::CloseHandle(f);
  return 0;
}

int AddRoot(const Args& a) {
  HANDLE f = ::CreateFileW(a.At(2).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return Usage();
  std::vector<BYTE> der(64 * 1024);
  DWORD got = 0;
  const BOOL read = ::ReadFile(f, der.data(), static_cast<DWORD>(der.size()), &got, nullptr);
  ::CloseHandle(f);
  HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, L"ROOT");
  const bool added = read && store &&
                     ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), got,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  const DWORD error = ::GetLastError();
  if (store) ::CertCloseStore(store, 0);
  Print(added ? "added" : "error=" + std::to_string(error));
  return added ? 0 : 1;
}

int Hold(const Args& a) {
  long long delay = 0, ms = 0;
  if (a.argc < 6 || !a.Number(4, &delay) || !a.Number(5, &ms)) return Usage();
  const DWORD end = ::GetTickCount() + static_cast<DWORD>(ms);
  Print("waiting");
  while (::GetFileAttributesW(a.argv[3]) == INVALID_FILE_ATTRIBUTES) {
    if (static_cast<LONG>(end - ::GetTickCount()) <= 0) return 1;
    ::Sleep(10);
  }
  ::Sleep(static_cast<DWORD>(delay));
  HANDLE f =
      ::CreateFileW(a.argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 1;
  Print("held");
  ::Sleep(static_cast<DWORD>(ms));
  ::CloseHandle(f);
  return 0;
}

int GapCommand(const Args& a) {
  long long ms = 0;
  if (!a.Number(2, &ms)) return Usage();
  return Gap(static_cast<DWORD>(ms));
}

// Keeps this prefix's desktop up: Wine ends its desktop process a second after the last window of the
// prefix goes, and a program that starts while it ends or starts again may end at once with status
// 1 and no word. One hidden window held for the whole test run, and that never happens.
int KeepDesktop(const Args&) {
  const HWND window =
      ::CreateWindowW(L"STATIC", L"ZT desktop keeper", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  if (!window) {
    Print("error=no window");
    return 1;
  }
  Print("keeping");
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
  return 0;
}

int LockCommand(const Args& a) {
  long long ms = 0;
  if (!a.Number(3, &ms)) return Usage();
  return Lock(a.argv[2], static_cast<DWORD>(ms));
}

// Every command by name (several names may share one function, which tells them apart).
struct CommandEntry {
  const wchar_t* name;
  int (*run)(const Args&);
};
constexpr CommandEntry kCommands[] = {
    {L"find", WindowFacts},
    {L"visible", WindowFacts},
    {L"rect", WindowFacts},
    {L"client", WindowFacts},
    {L"text", Control},
    {L"checked", Control},
    {L"enabled", Control},
    {L"shown", Control},
    {L"click", Control},
    {L"tick", Tick},
    {L"post", PostOrSend},
    {L"send", PostOrSend},
    {L"command", Command},
    {L"tray-delete", TrayDelete},
    {L"progress", Progress},
    {L"post-to", PostTo},
    {L"list", List},
    {L"wait", WaitOrGone},
    {L"gone", WaitOrGone},
    {L"menu", Menu},
    {L"menu-pick", Menu},
    {L"menu-dismiss", Menu},
    {L"box", Box},
    {L"box-answer", Box},
    {L"cpu", Cpu},
    {L"add-root", AddRoot},
    {L"hold", Hold},
    {L"gap", GapCommand},
    {L"lock", LockCommand},
    {L"texts", Texts},
    {L"keep-desktop", KeepDesktop},
    {L"memory", Memory},
    {L"lock-file", LockFile},
};

int Run(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const Args args{argc, argv, argv[1]};
  for (const CommandEntry& c : kCommands) {
    if (args.command == c.name) return c.run(args);
  }
  return Usage();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (IsStandIn()) return StandIn();
  return Run(argc, argv);
}
