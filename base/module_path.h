// Reading a path through a Windows-style "fill this buffer" call whatever its length: the buffer
// grows until the path fits, so a path longer than MAX_PATH is never cut.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/cmdline.h"
#include "base/paths.h"

namespace zt {

// `fill(buffer, size)` has GetModuleFileNameW's contract: it returns the number of characters
// written without the NUL, size when the path was cut, or 0 on failure. Empty on failure.
template <class Fill>
std::wstring ReadWholePath(Fill fill, std::uint32_t firstSize = 260) {
  std::vector<wchar_t> buffer(firstSize ? firstSize : 1);
  for (;;) {
    const auto size = static_cast<std::uint32_t>(buffer.size());
    const std::uint32_t length = fill(buffer.data(), size);
    if (length == 0) return {};
    if (length < size) return std::wstring(buffer.data(), length);
    if (size >= (1u << 20)) return {};  // no path is this long: give up rather than loop
    buffer.resize(static_cast<size_t>(size) * 2);
  }
}

// The path the tool is installed at, from the path its process was started from: a new version runs
// from its checked copy beside the executable (`<exe>.ztnew`) until its next start, and whatever it
// registers or replaces is the executable it takes over. Windows ignores case in file names.
inline std::string InstalledPath(std::string_view modulePath) {
  const std::string_view suffix = kNewExecutableSuffix;
  if (modulePath.size() <= suffix.size()) return std::string(modulePath);
  if (!EqualsIgnoringCase(modulePath.substr(modulePath.size() - suffix.size()), suffix)) return std::string(modulePath);
  return std::string(modulePath.substr(0, modulePath.size() - suffix.size()));
}

}  // namespace zt
