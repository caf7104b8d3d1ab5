// Stand-in for the data-update program: shows its window under the caption the tool looks for,
// imports version.dll (a DLL planted beside it would be loaded), hands the installed data version
// (C:\ZT_Update\version.txt, data_version) to the simulated device(s) through the rig's flash.txt, stays about two
// seconds and ends. The rig's standin.txt (in the simulator's folder, key=value lines) changes that:
//   write=0      the device keeps its data
//   status=N     the exit status (default 0)
//   seconds=S    how long it runs (default 2)
// Every run appends "<command line>\t<current folder>" to runs.txt there.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "tests/support/sim_files.h"

namespace {

constexpr UINT_PTR kEndTimer = 1;

std::string DataVersion(const std::string& descriptor) {
  std::size_t at = 0;
  while ((at = descriptor.find("data_version=", at)) != std::string::npos) {
    if (at == 0 || descriptor[at - 1] == '\n' || descriptor[at - 1] == '\r') {
      std::string value = descriptor.substr(at + 13);
      value = value.substr(0, value.find_first_of("\r\n"));
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
      return value;
    }
    ++at;
  }
  return {};
}

std::wstring g_status = L"ZT_PNV 系统升级工具";

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_PAINT: {  // what it does, so a screenshot of the demo shows it
      PAINTSTRUCT ps;
      HDC dc = ::BeginPaint(hwnd, &ps);
      RECT rc;
      ::GetClientRect(hwnd, &rc);
      ::SetBkMode(dc, TRANSPARENT);
      ::SelectObject(dc, ::GetStockObject(DEFAULT_GUI_FONT));
      ::DrawTextW(dc, g_status.c_str(), -1, &rc, DT_CENTER | DT_VCENTER | DT_WORDBREAK);
      ::EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_TIMER:
      if (wParam == kEndTimer) ::DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

}  // namespace

// A value of standin.txt, or `otherwise`.
int Setting(const std::string& settings, const std::string& key, int otherwise) {
  const std::size_t at = settings.find(key + "=");
  if (at == std::string::npos || (at > 0 && settings[at - 1] != '\n')) return otherwise;
  return std::atoi(settings.c_str() + at + key.size() + 1);
}

std::string Utf8(const std::wstring& w) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  const std::wstring dir = zt::sim::SimDir();
  const std::string settings = zt::sim::ReadWholeFile(dir + L"standin.txt");
  wchar_t cwd[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, cwd);
  ::CreateDirectoryW(dir.c_str(), nullptr);
  zt::sim::AppendToFile(dir + L"runs.txt", Utf8(::GetCommandLineW()) + "\t" + Utf8(cwd) + "\n");
  // A function of version.dll, so the program imports it as real programs do.
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  DWORD ignored = 0;
  ::GetFileVersionInfoSizeW(self, &ignored);
  const std::string version = DataVersion(zt::sim::ReadWholeFile(L"C:\\ZT_Update\\version.txt"));
  if (Setting(settings, "write", 1) != 0 && !version.empty() && version.find_first_of(" \t") == std::string::npos) {
    // The stamp makes a repeated hand-over of the same version a change the simulator notices.
    zt::sim::WriteWholeFile(dir + L"flash.txt", "version=" + version + " stamp=" + std::to_string(::GetTickCount64()) +
                                                    "-" + std::to_string(::GetCurrentProcessId()) + "\n");
  }
  std::wstring wideVersion(version.begin(), version.end());
  g_status = L"ZT_PNV 系统升级工具\n\n正在写入数据版本 " + (wideVersion.empty() ? std::wstring(L"?") : wideVersion);
  WNDCLASSW wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.lpszClassName = L"ZT_DataUpdateStandIn";
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  ::RegisterClassW(&wc);
  HWND hwnd = ::CreateWindowW(wc.lpszClassName, L"ZT_PNV 系统升级工具", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 360, 160, nullptr, nullptr, instance, nullptr);
  if (!hwnd) return 1;
  ::ShowWindow(hwnd, show);
  ::SetTimer(hwnd, kEndTimer, static_cast<UINT>(Setting(settings, "seconds", 2)) * 1000, nullptr);
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return Setting(settings, "status", 0);
}
