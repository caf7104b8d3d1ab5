// The tool's network side as the rest of the program sees it: one download operation and the
// starters of the two background procedures. Workers report only by posting to the main window.
#pragma once
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

namespace zt {

// Budget of a package or updater download on a worker thread.
inline constexpr std::chrono::milliseconds kPackageBudget{30 * 60 * 1000};

// At start-up: removes temporary files of transfers and installations that never finished
// (older than a day) from the download folders and the update root, and the tool's payloads that
// neither the installed descriptor nor the last one fetched names (stale_payloads.h); the shared
// folders only while the machine-wide lock is this tool's.
void RemoveStaleDownloads();

// Start the data-package and self-update procedures on their own threads (never joined).
// `fetchOnMetered`: the user asked for it, so a metered connection does not hold the file back.
void StartDataThread(bool fetchOnMetered = false);
void StartUpdaterThread(bool fetchOnMetered = false);

// Fetches and judges the server's descriptor on a thread of its own (never joined), within
// `budget`; an accepted one becomes the shared server text. Then posts WM_FETCH_DONE to the main
// window (wParam 1: accepted).
void StartDescriptorFetch(std::chrono::milliseconds budget);

// This user's own download folder, %LOCALAPPDATA%\ZT_AutoUpdate\Download\ (created when
// missing): the descriptor and a new executable are fetched there. Empty when there is none.
std::filesystem::path OwnDownloadFolder();

}  // namespace zt
