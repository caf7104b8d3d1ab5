// The main window as start-up sees it: run it modally; it is the program's main loop.
#pragma once

namespace zt {

// Runs the main window (dialog template 102) until it ends.
void RunMainWindow();

}  // namespace zt
