#include "update/net/disk_space.h"

#include "base/notice.h"

namespace zt {

std::uint64_t SpaceNeeded(std::uint64_t length) { return 2 * length + kSpaceMargin; }

std::optional<SpaceShortfall> CheckSpace(std::uint64_t length, std::uint64_t freeBytes) {
  const std::uint64_t needed = SpaceNeeded(length);
  if (freeBytes >= needed) return std::nullopt;
  SpaceShortfall s;
  s.neededMiB = (needed + kMiB - 1) / kMiB;
  s.freeMiB = freeBytes / kMiB;
  const std::string need = std::to_string(s.neededMiB), have = std::to_string(s.freeMiB);
  s.logText = "not enough free space: " + need + " MiB needed, " + have + " MiB free";
  s.noticeText = "磁盘空间不足：需要 " + need + " MiB，可用 " + have + " MiB。";
  return s;
}

std::optional<std::string> SpaceRefusal(std::int32_t expectedLength,
                                        const std::function<std::optional<std::uint64_t>()>& freeBytes) {
  if (expectedLength <= 0) return std::nullopt;
  const std::optional<std::uint64_t> free = freeBytes();
  if (!free) return std::nullopt;
  const auto shortfall = CheckSpace(static_cast<std::uint64_t>(expectedLength), *free);
  if (!shortfall) return std::nullopt;
  SetInfoNotice(shortfall->noticeText);
  return shortfall->logText;
}

}  // namespace zt
