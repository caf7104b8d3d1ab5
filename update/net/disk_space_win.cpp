#include "update/net/disk_space_win.h"

#include <windows.h>

#include <system_error>

namespace zt {

std::optional<std::uint64_t> FreeBytes(std::filesystem::path folder) {
  std::error_code ec;
  while (!std::filesystem::exists(folder, ec) && folder.has_relative_path()) folder = folder.parent_path();
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return available.QuadPart;
}

}  // namespace zt
