#include "update/trust/pe_image.h"

#include <algorithm>
#include <cstdio>

namespace zt {
namespace {

constexpr std::uint32_t kResourceTypeVersion = 16;  // RT_VERSION
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::uint32_t kSubdirectoryBit = 0x80000000;

// Little-endian reads that fail instead of reading past the end.
class Bytes {
 public:
  explicit Bytes(std::string_view data) : m_data(data) {}
  std::optional<std::uint32_t> U16(std::uint64_t at) const { return Read(at, 2); }
  std::optional<std::uint32_t> U32(std::uint64_t at) const { return Read(at, 4); }

 private:
  std::optional<std::uint32_t> Read(std::uint64_t at, unsigned width) const {
    if (at > m_data.size() || m_data.size() - at < width) return std::nullopt;
    std::uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i)
      value |= static_cast<std::uint32_t>(static_cast<unsigned char>(m_data[at + i])) << (8 * i);
    return value;
  }
  std::string_view m_data;
};

struct Section {
  std::uint32_t address, size, fileOffset, fileSize;
};

class Image {
 public:
  explicit Image(std::string_view data) : m_bytes(data) {}

  // The headers up to the resource directory's address; false when they are not a PE image's.
  bool ReadHeaders(ImageFacts& facts) {
    if (auto mz = m_bytes.U16(0); !mz || *mz != 0x5A4D) return false;
    const auto pe = m_bytes.U32(0x3C);
    if (!pe || m_bytes.U32(*pe) != 0x00004550u) return false;  // "PE\0\0"
    const std::uint64_t coff = *pe + 4ull;
    const auto machine = m_bytes.U16(coff), sections = m_bytes.U16(coff + 2), optionalSize = m_bytes.U16(coff + 16);
    const std::uint64_t optional = coff + 20;
    const auto magic = m_bytes.U16(optional);
    if (!machine || !sections || !optionalSize || !magic) return false;
    facts.machine = static_cast<std::uint16_t>(*machine);
    std::uint64_t directories = 0;
    if (*magic == 0x10B) {
      directories = optional + 96;
    } else if (*magic == 0x20B) {
      directories = optional + 112;
    } else {
      return false;
    }
    const auto directoryCount = m_bytes.U32(directories - 4);
    if (!directoryCount) return false;
    if (*directoryCount > 2) {
      const auto rva = m_bytes.U32(directories + 2 * 8);
      if (!rva) return false;
      m_resourceRva = *rva;
    }
    const std::uint64_t table = optional + *optionalSize;
    for (std::uint32_t i = 0; i < *sections; ++i) {
      const std::uint64_t at = table + 40ull * i;
      const auto size = m_bytes.U32(at + 8), address = m_bytes.U32(at + 12), fileSize = m_bytes.U32(at + 16),
                 fileOffset = m_bytes.U32(at + 20);
      if (!size || !address || !fileSize || !fileOffset) return false;
      if (m_sectionCount == kMaxSections) return false;
      m_sections[m_sectionCount++] = {*address, *size, *fileOffset, *fileSize};
    }
    return true;
  }

  std::optional<std::string> FileVersion() const {
    if (m_resourceRva == 0) return std::nullopt;
    const auto root = Offset(m_resourceRva);
    if (!root) return std::nullopt;
    // Type, then name, then language: the first name and language of the version type.
    auto entry = FindEntry(*root, *root, kResourceTypeVersion);
    for (int level = 0; entry && (*entry & kSubdirectoryBit) && level < 2; ++level)
      entry = FindEntry(*root, *root + (*entry & ~kSubdirectoryBit), std::nullopt);
    if (!entry || (*entry & kSubdirectoryBit)) return std::nullopt;
    const auto dataRva = m_bytes.U32(*root + *entry);
    const auto dataSize = m_bytes.U32(*root + *entry + 4);
    if (!dataRva || !dataSize) return std::nullopt;
    const auto info = Offset(*dataRva);
    // VS_VERSIONINFO: three words, the key "VS_VERSION_INFO" with its zero (32 bytes), padding
    // to a 4-byte boundary, then VS_FIXEDFILEINFO.
    constexpr std::uint64_t kFixedAt = 40;
    if (!info || *dataSize < kFixedAt + 16 || m_bytes.U32(*info + kFixedAt) != kFixedInfoSignature) return std::nullopt;
    const auto versionMs = m_bytes.U32(*info + kFixedAt + 8);
    if (!versionMs) return std::nullopt;
    return std::to_string(*versionMs >> 16) + "." + std::to_string(*versionMs & 0xFFFF);
  }

 private:
  static constexpr std::uint32_t kMaxSections = 96;

  std::optional<std::uint64_t> Offset(std::uint32_t rva) const {
    for (std::uint32_t i = 0; i < m_sectionCount; ++i) {
      const Section& s = m_sections[i];
      if (rva >= s.address && rva - s.address < s.fileSize && rva - s.address < std::max(s.size, s.fileSize))
        return std::uint64_t{s.fileOffset} + (rva - s.address);
    }
    return std::nullopt;
  }

  // The entry of a resource directory with `id` (or its first entry when no id is given): its
  // data word, or nullopt.
  std::optional<std::uint32_t> FindEntry(std::uint64_t root, std::uint64_t directory,
                                         std::optional<std::uint32_t> id) const {
    const auto named = m_bytes.U16(directory + 12), ids = m_bytes.U16(directory + 14);
    if (!named || !ids) return std::nullopt;
    const std::uint32_t count = *named + *ids;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint64_t at = directory + 16 + 8ull * i;
      const auto name = m_bytes.U32(at), data = m_bytes.U32(at + 4);
      if (!name || !data) return std::nullopt;
      if (!id || (!(*name & kSubdirectoryBit) && *name == *id)) {
        // A directory never points back to itself or its parent: the tree is read downwards only.
        if ((*data & kSubdirectoryBit) && root + (*data & ~kSubdirectoryBit) <= directory) return std::nullopt;
        return *data;
      }
    }
    return std::nullopt;
  }

  Bytes m_bytes;
  std::uint32_t m_resourceRva = 0;
  Section m_sections[kMaxSections]{};
  std::uint32_t m_sectionCount = 0;
};

}  // namespace

std::optional<ImageFacts> ReadImageFacts(std::string_view data) {
  ImageFacts facts;
  Image image(data);
  if (!image.ReadHeaders(facts)) return std::nullopt;
  facts.fileVersion = image.FileVersion();
  return facts;
}

std::string MachineName(std::uint16_t machine) {
  if (machine == kMachineX64) return "x64";
  if (machine == kMachineX86) return "x86";
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", machine);
  return text;
}

}  // namespace zt
