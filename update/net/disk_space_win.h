// The free space of a volume as Windows tells it, for the room check of a download (disk_space.h).
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>

namespace zt {

// Free bytes for this user on the volume of `folder` (of its nearest existing parent while it
// does not exist yet); nullopt when the volume cannot tell.
std::optional<std::uint64_t> FreeBytes(std::filesystem::path folder);

}  // namespace zt
