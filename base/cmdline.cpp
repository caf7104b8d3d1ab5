#include "base/cmdline.h"

#include "base/paths.h"

namespace zt {

// Only the space byte separates arguments and a double quote groups; a tab is an ordinary byte.
// An unquoted argument is counted at the space that ends it, so a last unquoted argument with
// nothing after it is not counted: the main window's "count >= 1" test depends on this count.
int GetArgCountOf(std::string_view commandLine) {
  int count = 0;
  bool inQuotes = false;
  bool afterWord = false;
  for (const char c : commandLine) {
    if (c == '"') {
      inQuotes = !inQuotes;
      if (inQuotes) ++count;
      continue;
    }
    if (inQuotes) continue;
    if (afterWord && c == ' ') ++count;
    afterWord = c != ' ';
  }
  return count;
}

std::string GetArgOf(std::string_view commandLine, int n) {
  if (n < 0) return {};
  const std::ptrdiff_t length = static_cast<std::ptrdiff_t>(commandLine.size());
  int count = 0;
  std::ptrdiff_t start = -1;
  std::ptrdiff_t end = -1;
  bool inQuotes = false;
  bool afterWord = false;
  for (std::ptrdiff_t i = 0; i < length; ++i) {
    const char c = commandLine[static_cast<size_t>(i)];
    if (c == '"') {
      inQuotes = !inQuotes;
      if (inQuotes) {
        ++count;
        start = i + 1;
        end = -1;
        continue;
      }
      end = i;
      // A closed quoted part is complete at the byte after its quote, or here when the line ends.
      if (i != length - 1) continue;
    } else if (!inQuotes) {
      const bool space = c == ' ';
      if (!space && !afterWord) {
        start = i;
        end = -1;
      }
      if (space && afterWord) {
        ++count;
        end = i;
      }
      if (!space && i == length - 1) {
        ++count;
        end = length;
      }
      afterWord = !space;
    }
    if (count == n + 1 && start != -1 && end != -1) {
      if (end < start) return {};
      return std::string(commandLine.substr(static_cast<size_t>(start), static_cast<size_t>(end - start)));
    }
  }
  return {};
}

namespace {}  // namespace

LaunchRequest DecideLaunchRequest(std::string_view commandLine) {
  const int count = GetArgCountOf(commandLine);
  if (count < 1) return LaunchRequest::Run;
  if (EqualsIgnoringCase(GetArgOf(commandLine, 1), kExitSwitch)) return LaunchRequest::EndRunningInstance;
  if (EqualsIgnoringCase(GetArgOf(commandLine, 2), kReplacedSwitch)) return LaunchRequest::RunAfterReplacement;
  return LaunchRequest::Run;
}

std::string ReplacedStartArguments(const ReplacedStart& start) {
  return std::string(kAutoHideSwitch) + " " + kReplacedSwitch + " " + std::to_string(start.previousProcess) + " " +
         start.token;
}

std::optional<std::uint32_t> ParseProcessId(std::string_view text) {
  if (text.empty() || text.size() > 10 || text[0] == '0') return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::optional<ReplacedStart> ReadReplacedStart(std::string_view commandLine) {
  if (DecideLaunchRequest(commandLine) != LaunchRequest::RunAfterReplacement) return std::nullopt;
  const auto pid = ParseProcessId(GetArgOf(commandLine, 3));
  const std::string token = GetArgOf(commandLine, 4);
  if (!pid || token.size() != kReplacedTokenLength) return std::nullopt;
  for (const char c : token)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
  return ReplacedStart{*pid, token};
}

}  // namespace zt
