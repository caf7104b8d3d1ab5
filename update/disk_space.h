// Whether the update root's volume can take a download: the part, the installed copy beside it,
// and a margin for the log and the descriptor. Portable; the glue asks the volume.
#pragma once
#include <cstdint>
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

}  // namespace zt
