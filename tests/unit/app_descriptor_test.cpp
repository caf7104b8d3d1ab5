#include "base/descriptor.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

using namespace std::string_literals;

struct KeyCase {
  const char* what;
  std::string text;
  std::string key;
  std::string value;
};

TEST(AppDescriptor, GetKeyValue) {
  const KeyCase cases[] = {
      {"plain", "data_version=2001\n", "data_version", "2001"},
      {"blank before =", "data_version = 2001\n", "data_version", ""},
      {"outer blanks go, inner stay", "data_desc=  north east  \n", "data_desc", "north east"},
      {"last line without LF", "a=1\ndata_desc=\t north east \t", "data_desc", "north east"},
      {"CR LF: no CR in the value", "a=1\r\ndata_version=2001\r\ndata_time=x\r\n", "data_version", "2001"},
      {"CR only: runs to the end", "data_version=2001\rdata_time=2020\r", "data_version", "2001\rdata_time=2020"},
      {"first occurrence wins", "data_version=1\ndata_version=2\n", "data_version", "1"},
      {"tail of a longer key", "mydata_version=1\ndata_version=2\n", "data_version", "1"},
      {"inside a value", "data_desc=see data_version=7\ndata_version=3\n", "data_version", "7"},
      {"case counts", "DATA_VERSION=2001\n", "data_version", ""},
      {"missing =", "data_version 2001\n", "data_version", ""},
      {"missing key", "data_time=x\n", "data_version", ""},
      {"empty value", "data_version=\ndata_time=x", "data_version", ""},
      {"blank value", "data_version=  \t \r\ndata_time=x", "data_version", ""},
      {"text ends at =", "data_version=", "data_version", ""},
      {"empty text", "", "data_version", ""},
      {"vertical tab and form feed", "data_desc=\x0B\x0C x \x0B\n", "data_desc", "x"},
      {"value holds =", "updater_file=a=b.exe\n", "updater_file", "a=b.exe"},
      {"GBK value", "data_desc=\xB6\xAB\xB1\xB1 \r\n", "data_desc", "\xB6\xAB\xB1\xB1"},
      // 0xB0 0x64 is one character: the "d" after the lead byte never starts a match.
      {"trail byte d",
       "x=\xB0"
       "data_version=9\ndata_version=3\n",
       "data_version", "3"},
      // With an empty key the pattern is "=": the "=" that trails 0x81 is not one.
      {"trail byte =", "\x81=a=b=c\n", "", "c"},
      {"trail byte = kept in value", "data_desc=\x81=\n", "data_desc", "\x81="},
      // A lead byte takes the LF with it, so the value runs on to the next LF.
      {"lead byte before LF", "data_desc=\x81\nx\ny=1", "data_desc", "\x81\nx"},
      // A lead byte and a blank form one character: trimming never cuts it.
      {"trail blank not trimmed", "data_desc=ab\x81 \n", "data_desc", "ab\x81 "},
      {"lead byte at the very end", "data_desc=ab\x81", "data_desc", "ab\x81"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(zt::GetKeyValue(c.text, c.key), c.value);
  }
}

TEST(AppDescriptor, ReadingRules) {
  const struct {
    std::string raw;
    std::string text;
  } cases[] = {
      {"a\r\nb\r\n", "a\nb\n"},
      {"a\rb\r", "a\rb\r"},
      {"a\r\r\nb", "a\r\nb"},
      {"abc\x1A"
       "def",
       "abc"},
      {"abc\0def"s, "abc"},
      {"\x1A", ""},
      {"x\r\x1A\r\n", "x\r"},
      {"", ""},
      {"data_desc=\xB6\xAB\r\n", "data_desc=\xB6\xAB\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.raw));
    EXPECT_EQ(zt::DecodeDescriptorBytes(c.raw), c.text);
  }
}

TEST(AppDescriptor, ReadDescriptorFile) {
  const auto dir = std::filesystem::temp_directory_path() / ("zt_desc_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const auto file = dir / "version.txt";
  {
    std::ofstream out(file, std::ios::binary);
    out << "data_version=2001\r\ndata_time=2020-01-01\r\n\x1A"
           "data_desc=ignored\r\n";
  }
  auto text = zt::ReadDescriptorFile(file);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, "data_version=2001\ndata_time=2020-01-01\n");

  // Up to the limit a descriptor is read whole; one byte more (a file planted to exhaust memory,
  // say) is not read at all.
  std::string big = "data_version=5\n";
  big += std::string(zt::kMaxDescriptorBytes - big.size(), 'x');
  { std::ofstream(file, std::ios::binary) << big; }
  text = zt::ReadDescriptorFile(file);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->size(), big.size());
  { std::ofstream(file, std::ios::binary) << big << 'x'; }
  EXPECT_FALSE(zt::ReadDescriptorFile(file).has_value());

  EXPECT_FALSE(zt::ReadDescriptorFile(dir / "missing.txt").has_value());
  // Opens, then fails to read: handled as a file that cannot be read, nothing thrown.
  EXPECT_FALSE(zt::ReadDescriptorFile(dir).has_value());
  std::filesystem::remove_all(dir);
}

TEST(AppDescriptor, AtoiRule) {
  const struct {
    std::string text;
    int value;
  } cases[] = {
      {"2001", 2001},
      {"  42abc", 42},
      {"\t\n 12", 12},
      {"-7", -7},
      {"+5", 5},
      {"", 0},
      {"abc", 0},
      {"- 5", 0},
      {"0x10", 0},
      {"9318", 9318},
      {"2147483647", INT_MAX},
      {"2147483648", INT_MIN},  // wraps as a 32-bit value, no undefined behaviour
      {"4294967297", 1},
      {"99999999999999999999", 1661992959},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(zt::AtoiRule(c.text), c.value);
  }
}

}  // namespace
