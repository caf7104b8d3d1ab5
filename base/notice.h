// One current notice for the main window's information text: a worker sets it (UTF-8), replaces or
// clears it, and the window shows it whenever it refreshes (in place of "正在更新，请稍候...." while
// nothing can be shown; under the data's lines otherwise). And what waits for the start button.
// Safe from any thread.
#pragma once
#include <string>

namespace zt {

// Replaces the notice; an empty text clears it.
void SetInfoNotice(std::string utf8);
void ClearInfoNotice();
std::string InfoNotice();

// What the main window's start button ("启动升级包", hidden until one of these is waiting) does when
// pressed. Workers add what they put off; the window takes it all when the button is pressed.
enum StartWaiting : unsigned {
  kNothingWaiting = 0,
  kPackageDeferred = 1,     // the data package was not fetched over a metered connection
  kExecutableDeferred = 2,  // nor was a new executable
  kWriteHeld = 4,           // the device's writes failed: the user may start the program again
};
void AddStartWaiting(unsigned what);
unsigned StartWaiting();
// Takes and clears everything that waits.
unsigned TakeStartWaiting();

}  // namespace zt
