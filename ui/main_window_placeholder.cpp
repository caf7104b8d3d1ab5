// Placeholder until the main window lands: a top-level window and a message loop, nothing else.
#include <windows.h>

#include "ui/main_window.h"

namespace zt {
void RunMainWindow() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = ::DefWindowProcW;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = L"ZT_AutoUpdate_Placeholder";
  ::RegisterClassW(&wc);
  HWND w = ::CreateWindowW(wc.lpszClassName, L"安全驾驶导引系统——自动升级工具 V2.6", WS_OVERLAPPEDWINDOW,
                           CW_USEDEFAULT, CW_USEDEFAULT, 480, 320, nullptr, nullptr, wc.hInstance, nullptr);
  ::ShowWindow(w, SW_SHOW);
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
}
}  // namespace zt
