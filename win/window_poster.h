// The main window as every thread of the tool reaches it: set once it exists and cleared when it
// goes, so a worker that ends late posts to nothing rather than to a stale handle.
#pragma once
#include <windows.h>

namespace zt {

void SetMainWindow(HWND window);
HWND MainWindowHandle();
// Dropped when there is no main window.
void PostToMainWindow(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

}  // namespace zt
