// Minimal PE32+ images for the unit tests: the headers, and a .rsrc section holding a version
// resource (or none), padded to a given size.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace zt::test {

inline void Put(std::string& image, std::size_t at, std::uint64_t value, unsigned width) {
  if (image.size() < at + width) image.resize(at + width, '\0');
  for (unsigned i = 0; i < width; ++i) image[at + i] = static_cast<char>(value >> (8 * i));
}

// An image for `machine` whose fixed file version is major.minor (or that has no resources),
// at least `size` bytes long (padded with 'x').
inline std::string MakeImage(std::uint16_t machine, std::optional<std::pair<unsigned, unsigned>> version,
                             std::size_t size = 0) {
  constexpr std::size_t kPe = 0x40, kOptional = kPe + 24, kSections = kOptional + 240, kRaw = 0x200;
  constexpr std::uint32_t kRva = 0x1000;
  std::string image(kRaw, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  Put(image, 0x3C, kPe, 4);
  image.replace(kPe, 4, std::string("PE\0\0", 4));
  Put(image, kPe + 4, machine, 2);
  Put(image, kPe + 6, version ? 1 : 0, 2);  // sections
  Put(image, kPe + 20, 240, 2);             // optional header size
  Put(image, kOptional, 0x20B, 2);
  Put(image, kOptional + 108, 16, 4);  // data directories
  if (version) {
    Put(image, kOptional + 112 + 2 * 8, kRva, 4);  // the resource directory
    Put(image, kOptional + 112 + 2 * 8 + 4, 0x100, 4);
    image.replace(kSections, 5, ".rsrc");
    Put(image, kSections + 8, 0x100, 4);
    Put(image, kSections + 12, kRva, 4);
    Put(image, kSections + 16, 0x100, 4);
    Put(image, kSections + 20, kRaw, 4);
    // Type 16, name 1, language 0x409: one entry each, then the data entry and VS_VERSIONINFO.
    const std::pair<std::size_t, std::uint32_t> levels[] = {{0x00, 16}, {0x18, 1}, {0x30, 0x409}};
    for (const auto& [at, id] : levels) {
      Put(image, kRaw + at + 14, 1, 2);
      Put(image, kRaw + at + 16, id, 4);
      Put(image, kRaw + at + 20, at == 0x30 ? 0x48 : 0x80000000u | (at + 0x18), 4);
    }
    Put(image, kRaw + 0x48, kRva + 0x58, 4);
    Put(image, kRaw + 0x4C, 92, 4);
    const std::size_t info = kRaw + 0x58;
    Put(image, info, 92, 2);
    Put(image, info + 2, 52, 2);
    const std::string key = "VS_VERSION_INFO";
    for (std::size_t i = 0; i < key.size(); ++i) Put(image, info + 6 + 2 * i, static_cast<unsigned char>(key[i]), 2);
    Put(image, info + 40, 0xFEEF04BD, 4);
    Put(image, info + 48, (version->first << 16) | version->second, 4);
    image.resize(kRaw + 0x100, '\0');
  }
  if (image.size() < size) image.resize(size, 'x');
  return image;
}

}  // namespace zt::test
