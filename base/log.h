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
// How a line is appended. Another process (the tool's other version during an update, another
// account's tool) may append at the same moment: the Windows glue appends through the system's
// atomic append. Default: a stream opened for appending.
void SetLogAppender(bool (*append)(const std::filesystem::path& file, std::string_view line));
// Asked before each line: may the log's folder be written? (The update folder is shared by every
// account: one that became a link to somewhere else is not written through.) Default: yes.
void SetLogFolderCheck(bool (*writable)(const std::filesystem::path& folder));
// Appends "YYYY-MM-DD HH:MM:SS event details"; safe from any thread. Line ends in the
// details are replaced by " | " so that one event stays one line. A line that could not be
// appended (the log held by another process) drops the lines of the next seconds unasked, so that
// no thread waits for a held log more than once in a while.
void LogEvent(std::string_view event, std::string_view details = {});

// The local time as the log and the history write it: "YYYY-MM-DD HH:MM:SS".
std::string LocalTimeStamp();

// A UTF-8 value from outside as the log shows it: control characters as \xNN, and at most
// kLogValueMaxBytes bytes, cut at a character boundary, with the full length said when cut.
std::string LogValue(std::string_view utf8);

}  // namespace zt
