// What an executable image says of itself: the processor it is built for and the file version in
// its version resource. Read from the file's bytes, without loading it. Portable (no <windows.h>).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zt {

inline constexpr std::uint16_t kMachineX86 = 0x014C;
inline constexpr std::uint16_t kMachineX64 = 0x8664;

struct ImageFacts {
  std::uint16_t machine = 0;
  // The fixed file version's first two parts (major.minor), when the image has a version resource.
  std::optional<std::string> fileVersion;
};

// nullopt when `image` is not a PE image (no MZ/PE headers, or headers that point outside it).
std::optional<ImageFacts> ReadImageFacts(std::string_view image);

// "x64", "x86" or the machine number in hex, for messages.
std::string MachineName(std::uint16_t machine);

}  // namespace zt
