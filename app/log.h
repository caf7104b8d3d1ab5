// The diagnostic log: one UTF-8 line per event ("local time, event word, details"), so support can
// learn what a tool that acts silently did. Capped in size and rotated; failures to log are ignored.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <filesystem>
#include <string_view>

namespace zt {

inline constexpr std::uintmax_t kLogMaxBytes = 256 * 1024;
// A value from outside (a descriptor value, a server's text) is cut to this many bytes in the log.
inline constexpr std::size_t kLogValueMaxBytes = 200;
// No line is longer than this, whatever its details.
inline constexpr std::size_t kLogLineMaxBytes = 2048;

// Where the log goes (normally C:\ZT_Update\autoupdate.log); until set, nothing is logged.
void SetLogPath(const std::filesystem::path& path);
// Appends "YYYY-MM-DD HH:MM:SS event details"; safe from any thread. Line ends in the
// details are replaced by " | " so that one event stays one line.
void LogEvent(std::string_view event, std::string_view details = {});

// A UTF-8 value from outside as the log shows it: control characters as \xNN, and at most
// kLogValueMaxBytes bytes, cut at a character boundary, with the full length said when cut.
std::string LogValue(std::string_view utf8);

}  // namespace zt
