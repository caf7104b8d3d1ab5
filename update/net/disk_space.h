// Whether the update root's volume can take a download: the part, the installed copy beside it,
// and a margin for the log and the descriptor. Portable; the glue asks the volume.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace zt {

inline constexpr std::uint64_t kMiB = 1024 * 1024;
inline constexpr std::uint64_t kSpaceMargin = 16 * kMiB;

// Twice the length plus the margin.
std::uint64_t SpaceNeeded(std::uint64_t length);

struct SpaceShortfall {
  std::uint64_t neededMiB = 0;  // rounded up
  std::uint64_t freeMiB = 0;    // rounded down
  std::string logText;          // for the log
  std::string noticeText;       // for the main window, in its language
};
// Nothing when `freeBytes` suffices for a download of `length` bytes.
std::optional<SpaceShortfall> CheckSpace(std::uint64_t length, std::uint64_t freeBytes);

// A package or executable is fetched only when the volume can take the part and the installed
// copy: otherwise the main window's notice says how much is missing and the log's text is
// returned. Nothing for an unknown length (0), which never asks `freeBytes`, and nothing when the
// volume cannot tell (nullopt): the write itself will.
std::optional<std::string> SpaceRefusal(std::int32_t expectedLength,
                                        const std::function<std::optional<std::uint64_t>()>& freeBytes);

}  // namespace zt
