// Paths from and to UTF-8. std::filesystem::path(std::string) reads the narrow text in the ANSI
// code page on Windows, which garbles Chinese folder names; these keep UTF-8 everywhere.
#pragma once
#include <filesystem>
#include <string>
#include <string_view>

#include "base/paths.h"

namespace zt {

inline std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// C:\ZT_Update\ and its Download\, where the data package is fetched (every account shares them).
inline std::filesystem::path SharedRoot() { return PathFromUtf8(kUpdateRoot); }
inline std::filesystem::path SharedDownloadFolder() { return SharedRoot() / kDownloadFolderName; }

inline std::string PathToUtf8(const std::filesystem::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

}  // namespace zt
