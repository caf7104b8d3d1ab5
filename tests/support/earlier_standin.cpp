// A tool of the earlier kind, as far as an installer meets it: a hidden top-level window with its
// caption, its single-instance mutex held, and its end on the tray menu's exit command (WM_COMMAND,
// wParam 0x0406). Test rig, never shipped. The names are spelt out as those tools spell them, not
// read from this tree's headers, so a change on our side that parts from them is seen.
//
//   earlier_standin.exe [--ignore-exit]
//
// --ignore-exit: the command is noted and ignored, as by a copy that hangs. Each command received is
// appended as a line "exit command wParam=0x.." to <exe>.log, and "ended" when it ends by itself
// (exit code 0); a second start, the mutex held already, ends at once with 2, as the real one does.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

const wchar_t kCaption[] = L"安全驾驶导引系统——自动升级工具 V2.6";
const wchar_t kMutex[] = L"Zant_AutoUpdate_Sem";
constexpr WPARAM kTrayExit = 0x0406;

bool g_ignoreExit = false;

void Note(const char* line) {
  wchar_t path[MAX_PATH + 8] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wcscat(path, L".log");
  HANDLE f = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  const std::string text = std::string(line) + "\r\n";
  DWORD written = 0;
  ::WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(f);
}

LRESULT CALLBACK WindowProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND && LOWORD(wParam) == kTrayExit) {
    char line[48];
    std::snprintf(line, sizeof line, "exit command wParam=0x%llx", static_cast<unsigned long long>(wParam));
    Note(line);
    // Only the exact command counts: the menu sends no notification code in the high word.
    if (!g_ignoreExit && wParam == kTrayExit) ::DestroyWindow(w);
    return 0;
  }
  if (message == WM_DESTROY) {
    ::PostQuitMessage(0);
    return 0;
  }
  return ::DefWindowProcW(w, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  g_ignoreExit = std::wcsstr(commandLine, L"--ignore-exit") != nullptr;
  HANDLE mutex = ::CreateMutexW(nullptr, TRUE, kMutex);
  if (!mutex || ::GetLastError() == ERROR_ALREADY_EXISTS) return 2;
  WNDCLASSW wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.lpszClassName = L"ZtEarlierStandIn";
  ::RegisterClassW(&wc);
  // Created hidden, as such a tool runs in the notification area after an automatic start.
  if (!::CreateWindowW(wc.lpszClassName, kCaption, WS_OVERLAPPEDWINDOW, 100, 100, 320, 200, nullptr, nullptr, instance,
                       nullptr))
    return 3;
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
  ::ReleaseMutex(mutex);
  ::CloseHandle(mutex);
  Note("ended");
  return 0;
}
