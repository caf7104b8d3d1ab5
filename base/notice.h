// One current notice for the main window's information text: a worker sets it (UTF-8), replaces or
// clears it, and the window shows it under the text whenever it refreshes. Safe from any thread.
#pragma once
#include <string>

namespace zt {

// Replaces the notice; an empty text clears it.
void SetInfoNotice(std::string utf8);
void ClearInfoNotice();
std::string InfoNotice();

}  // namespace zt
