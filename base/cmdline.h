// The command-line readers: argument counting and splitting by the tool's own byte rules (only a
// space separates; quotes group), over a given UTF-8 command line.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zt {

// Whether `text` is `lower` (written in lower case) in any case of the ASCII letters.
inline bool EqualsIgnoringCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = (text[i] >= 'A' && text[i] <= 'Z') ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (c != lower[i]) return false;
  }
  return true;
}

int GetArgCountOf(std::string_view commandLine);
// Argument n (0 = the program path) without its quotes, or empty when there is none.
std::string GetArgOf(std::string_view commandLine, int n);

// What a start is asked to do, beyond the main window's own reading of argument 1.
enum class LaunchRequest {
  Run,                  // the ordinary start (a second one ends silently)
  EndRunningInstance,   // "/exit" as argument 1: the installer asks the running tool to end
  RunAfterReplacement,  // "/replaced" as argument 2: started by the previous version, which waits
                        // for this one to confirm that it is up
};
LaunchRequest DecideLaunchRequest(std::string_view commandLine);

// What the previous version tells the new one it starts after "/replaced": its own process id
// (argument 3: the new one waits for the single-instance marker while that process lives) and the
// random part of the confirmation event's name (argument 4: 32 lowercase hex digits).
struct ReplacedStart {
  std::uint32_t previousProcess = 0;
  std::string token;
};
inline constexpr std::size_t kReplacedTokenLength = 32;
// A process id as the tool writes one: decimal digits, no leading zero, 1 to 4294967295.
std::optional<std::uint32_t> ParseProcessId(std::string_view text);
// The arguments after the program path of a replaced start: "/autohide /replaced <pid> <token>".
std::string ReplacedStartArguments(const ReplacedStart& start);
// Both values when the line is a replaced start that gives them well formed; nullopt otherwise (a
// start by a version of the earlier order gives neither).
std::optional<ReplacedStart> ReadReplacedStart(std::string_view commandLine);

}  // namespace zt
