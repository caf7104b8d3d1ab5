// Placeholder until the download procedures land: every download fails, no thread starts.
#include "update/downloads.h"

namespace zt {
void SetMessageWindow(HWND) {}
int DownloadFile(const std::string&, std::int32_t, std::chrono::milliseconds) { return 0; }
void StartDataThread() {}
void StartUpdaterThread() {}
}  // namespace zt
