// The diagnostic log: one UTF-8 line per event ("local time, event word, details"), so support can
// learn what a tool that acts silently did. Capped in size and rotated; failures to log are ignored.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string_view>

namespace zt {

inline constexpr std::uintmax_t kLogMaxBytes = 256 * 1024;

// Where the log goes (normally C:\ZT_Update\autoupdate.log); until set, nothing is logged.
void SetLogPath(const std::filesystem::path& path);
// Appends "YYYY-MM-DD HH:MM:SS event details"; safe from any thread. Line ends in the
// details are replaced by " | " so that one event stays one line.
void LogEvent(std::string_view event, std::string_view details = {});

}  // namespace zt
