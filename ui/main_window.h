// The main window as start-up sees it: run it modally; it is the program's main loop.
#pragma once

#include <functional>

namespace zt {

// What start-up tells the main window.
struct MainWindowStart {
  // Started by the previous version, which waits for this one to confirm that it is up.
  bool replacedStart = false;
  // Gives up the single-instance marker before the program has ended: its successor starts now.
  std::function<void()> releaseInstanceMarker;
};

// Runs the main window (dialog template 102) until it ends.
void RunMainWindow(const MainWindowStart& start);

}  // namespace zt
