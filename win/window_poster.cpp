#include "win/window_poster.h"

#include <atomic>

namespace zt {
namespace {

std::atomic<HWND> g_mainWindow{nullptr};

}  // namespace

void SetMainWindow(HWND window) { g_mainWindow = window; }

HWND MainWindowHandle() { return g_mainWindow.load(); }

void PostToMainWindow(UINT message, WPARAM wParam, LPARAM lParam) {
  if (HWND w = g_mainWindow.load()) ::PostMessageW(w, message, wParam, lParam);
}

}  // namespace zt
