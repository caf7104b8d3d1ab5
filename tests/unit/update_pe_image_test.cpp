#include "update/trust/pe_image.h"

#include <gtest/gtest.h>

#include "tests/unit/pe_builder.h"

namespace {

using zt::test::MakeImage;
using zt::test::Put;

TEST(ImageFacts, MachineAndVersionOrNothing) {
  const std::string good = MakeImage(zt::kMachineX64, std::pair(2u, 8u));
  // The resource section starts at 0x200: its tree, data entry and version block follow.
  std::string loop = good;  // a directory that points at itself
  Put(loop, 0x200 + 20, 0x80000000u, 4);
  std::string badSignature = good;
  Put(badSignature, 0x200 + 0x58 + 40, 0x12345678, 4);
  std::string farOffset = good;  // e_lfanew beyond the file
  Put(farOffset, 0x3C, 0xFFFFFFF0u, 4);
  struct Row {
    const char* label;
    std::string image;
    std::optional<std::uint16_t> machine;  // nullopt: not an image at all
    std::optional<std::string> version;
  };
  const Row rows[] = {
      {"x64 2.8", good, zt::kMachineX64, "2.8"},
      {"x86 2.7", MakeImage(zt::kMachineX86, std::pair(2u, 7u)), zt::kMachineX86, "2.7"},
      {"two-digit minor", MakeImage(zt::kMachineX64, std::pair(3u, 10u)), zt::kMachineX64, "3.10"},
      {"no resources", MakeImage(zt::kMachineX64, std::nullopt), zt::kMachineX64, std::nullopt},
      {"a resource tree that loops", loop, zt::kMachineX64, std::nullopt},
      {"no fixed-info signature", badSignature, zt::kMachineX64, std::nullopt},
      {"headers cut short", good.substr(0, 0x80), std::nullopt, std::nullopt},
      {"resources cut short", good.substr(0, 0x260), zt::kMachineX64, std::nullopt},
      {"PE header out of the file", farOffset, std::nullopt, std::nullopt},
      {"not MZ", "<html>" + good.substr(6), std::nullopt, std::nullopt},
      {"empty", "", std::nullopt, std::nullopt},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.label);
    const auto facts = zt::ReadImageFacts(r.image);
    ASSERT_EQ(facts.has_value(), r.machine.has_value());
    if (!facts) continue;
    EXPECT_EQ(facts->machine, *r.machine);
    EXPECT_EQ(facts->fileVersion, r.version);
  }
}

}  // namespace
