// The tool's network side as the rest of the program sees it: one download operation and the
// starters of the two background procedures. Workers report only by posting to the main window.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>

namespace zt {

// Budget of a package or updater download on a worker thread.
inline constexpr std::chrono::milliseconds kPackageBudget{30 * 60 * 1000};

// GET "/autoupdate/" + name from the update server into C:\ZT_Update\Download\ + name.
// Returns 1 when the file was stored whole, 0 otherwise (the previous copy is then untouched).
int DownloadFile(const std::string& name, std::int32_t expectedLength, std::chrono::milliseconds budget);

// At start-up: removes temporary files of transfers and installations that never finished
// (older than a day) from the download folder and the update root.
void RemoveStaleDownloads();

// Start the data-package and self-update procedures on their own threads (never joined).
void StartDataThread();
void StartUpdaterThread();

// After a fetch that did (`stored`) or did not store Download\version.txt: the shared server text
// becomes the stored descriptor when it may be trusted (this user's floor then rises), and is
// emptied otherwise. On the window's thread.
bool TakeFetchedDescriptor(bool stored);

// Fetches the server's descriptor into the download folder on a thread of its own (never joined),
// within `budget`, then posts WM_FETCH_DONE to the main window with wParam 1 when it was stored.
void StartDescriptorFetch(std::chrono::milliseconds budget);

}  // namespace zt
