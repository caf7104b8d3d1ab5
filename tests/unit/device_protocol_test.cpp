#include "device/protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using zt::Answer;
using zt::Report;

// An answer area as a device would deliver it: the text, the length byte in A[63], 0x00 elsewhere.
Answer TextAnswer(const std::string& text, int lengthByte) {
  Answer a{};
  std::memcpy(a.data(), text.data(), std::min<std::size_t>(text.size(), 64));
  a[63] = static_cast<std::uint8_t>(lengthByte);
  return a;
}

TEST(DeviceRequest, BytesOfBothCommands) {
  struct Row {
    std::uint8_t command;
    std::uint32_t checksum;
  };
  // Sum of the command block: command + 0x0E + 0x80 + 0x01 + 0x18 + 0xC6 + 0xA2 + 0x35.
  const Row rows[] = {{0xA7, (0xA7u + 0x0E + 0x80 + 0x01 + 0x18 + 0xC6 + 0xA2 + 0x35) ^ 0x416},
                      {0xAF, (0xAFu + 0x0E + 0x80 + 0x01 + 0x18 + 0xC6 + 0xA2 + 0x35) ^ 0x416}};
  for (const Row& row : rows) {
    Report r;
    r.fill(0x5A);  // whatever was there before must not survive
    zt::BuildRequest(r, row.command);
    const std::uint8_t head[15] = {0x00, row.command, 0x0E, 0x80, 0, 0, 0, 0x01, 0, 0, 0, 0x18, 0xC6, 0xA2, 0x35};
    for (int i = 0; i < 15; ++i) EXPECT_EQ(r[i], head[i]) << "byte " << i;
    EXPECT_EQ(r[15], row.checksum & 0xFF);
    EXPECT_EQ(r[16], (row.checksum >> 8) & 0xFF);
    EXPECT_EQ(r[17], 0);
    EXPECT_EQ(r[18], 0);
    for (int i = 19; i < 65; ++i) EXPECT_EQ(r[i], 0xCC) << "byte " << i;
  }
}

TEST(DeviceRequest, ChecksumIsUnsignedByteSumXor) {
  struct Row {
    std::vector<std::uint8_t> bytes;
    std::uint32_t expected;
  };
  const Row rows[] = {{{}, 0x416},
                      {{0xFF}, 0xFF ^ 0x416},
                      {{0x80, 0x80}, 0x100 ^ 0x416},
                      {std::vector<std::uint8_t>(14, 0xFF), (14u * 0xFF) ^ 0x416}};
  for (const Row& row : rows) EXPECT_EQ(zt::ReportChecksum(row.bytes), row.expected);
}

TEST(DeviceAnswer, DeliveredBytesAfterTheReportIdOverFF) {
  Report r;
  for (int i = 0; i < 65; ++i) r[i] = static_cast<std::uint8_t>(i);
  struct Row {
    std::size_t transferred;
    std::size_t copied;
  };
  const Row rows[] = {{0, 0}, {1, 0}, {2, 1}, {33, 32}, {65, 64}, {400, 64}};
  for (const Row& row : rows) {
    const Answer a = zt::AnswerFromReport(r, row.transferred);
    for (std::size_t i = 0; i < 64; ++i) {
      EXPECT_EQ(a[i], i < row.copied ? static_cast<std::uint8_t>(i + 1) : 0xFF) << row.transferred << " at " << i;
    }
  }
}

TEST(DeviceAnswer, DataVersionAnswers) {
  struct Row {
    const char* what;
    Answer answer;
    bool valid;
    bool parsed;
    int first, second, version;
  };
  const std::string base = "P001-0002-";
  Answer len64 = TextAnswer(base + "5000", 64);
  std::memcpy(len64.data() + 59, "EF15", 4);
  Answer shortDelivery;  // 20 bytes delivered, the rest kept at 0xFF
  shortDelivery.fill(0xFF);
  std::memcpy(shortDelivery.data(), "P001-0002-5000-C216#", 20);
  const Row rows[] = {
      {"version 1000", TextAnswer(base + "1000-C216#", 20), false, true, 1, 2, 1000},
      {"version 1001", TextAnswer(base + "1001-C216#", 20), true, true, 1, 2, 1001},
      {"first number 000", TextAnswer("P000-0002-5000-C216#", 20), false, true, 0, 2, 5000},
      {"second number 0000", TextAnswer("P001-0000-5000-C216#", 20), false, true, 1, 0, 5000},
      {"lower-case p", TextAnswer("p001-0002-5000-C216#", 20), false, false, 0, 0, 0},
      {"length 13", TextAnswer(base + "5000", 13), false, false, 0, 0, 0},
      {"length 14", TextAnswer(base + "5000", 14), true, true, 1, 2, 5000},
      {"length 64", len64, true, true, 1, 2, 5000},
      {"length 65", TextAnswer(base + "5000", 65), false, false, 0, 0, 0},
      {"minus 999 passes unsigned", TextAnswer(base + "-999-C216#", 20), true, true, 1, 2, -999},
      {"spaces and sign", TextAnswer("P 01- +02-  42-C216#", 20), false, true, 1, 2, 42},
      {"no digits", TextAnswer("Pabc-defg-hijk-C216#", 20), false, true, 0, 0, 0},
      {"digits stop at the span", TextAnswer("P0012002-340000000#", 19), true, true, 1, 2, 4000},
      {"short delivery", shortDelivery, false, false, 0, 0, 0},
  };
  for (const Row& row : rows) {
    const zt::DataVersionAnswer r = zt::ParseDataVersionAnswer(row.answer);
    EXPECT_EQ(r.valid, row.valid) << row.what;
    EXPECT_EQ(r.numbersParsed, row.parsed) << row.what;
    if (row.parsed) {
      EXPECT_EQ(r.firstNumber, row.first) << row.what;
      EXPECT_EQ(r.secondNumber, row.second) << row.what;
      EXPECT_EQ(r.dataVersion, row.version) << row.what;
    }
  }
}

TEST(DeviceAnswer, FlashIdFollowsTheLengthByte) {
  struct Row {
    Answer answer;
    std::uint16_t id;
  };
  Answer len64 = TextAnswer("P001-0002-5000", 64);
  std::memcpy(len64.data() + 59, "ef13", 4);
  const Row rows[] = {
      {TextAnswer("P001-0002-5000-C216#", 20), 0xC216},
      {TextAnswer("P001-0002-5000-xyzC215#", 23), 0xC215},
      {len64, 0xEF13},
      // Length 14: the flash span A[9]..A[12] overlaps the numbers ("-500").
      {TextAnswer("P001-0002-5000", 14), 0x0500},
      {TextAnswer("P001-0002-5000-G1Z2#", 20), 0x0102},
  };
  for (const Row& row : rows) EXPECT_EQ(zt::ParseDataVersionAnswer(row.answer).flashId, row.id);
}

TEST(DeviceAnswer, IdentityAnswers) {
  auto scrambled = [](std::uint8_t key, const char(&id)[9], int lengthByte) {
    Answer a{};
    a.fill(0x00);
    a[0] = key;
    for (int i = 0; i < 8; ++i) a[1 + i] = static_cast<std::uint8_t>(id[i] ^ key);
    a[63] = static_cast<std::uint8_t>(lengthByte);
    return a;
  };
  Answer cut = scrambled(0x5A, "AB12CD34", 14);
  cut[3] = 0x5A;  // descrambles to 0: the identity ends there
  Answer ff;
  ff.fill(0xFF);
  struct Row {
    const char* what;
    Answer answer;
    std::string expected;
  };
  const Row rows[] = {
      {"plain", scrambled(0x5A, "AB12CD34", 14), "AB12CD34"},
      {"key zero", scrambled(0x00, "ZT000001", 14), "ZT000001"},
      {"length 15", scrambled(0x5A, "AB12CD34", 15), ""},
      {"length 13", scrambled(0x5A, "AB12CD34", 13), ""},
      {"cut at A[3]", cut, "AB"},
      {"nothing delivered", ff, ""},
  };
  for (const Row& row : rows) EXPECT_EQ(zt::ParseDeviceIdAnswer(row.answer), row.expected) << row.what;
}

TEST(DeviceAnswer, AtoiOverAnySpan) {
  struct Row {
    std::string text;
    int value;
  };
  const Row rows[] = {
      {"", 0},
      {"-", 0},
      {"+", 0},
      {" \t\n\v\f\r7", 7},
      {"0042", 42},
      {"-0042", -42},
      {"+9", 9},
      {"12ab34", 12},
      {"- 5", 0},
      {"--5", 0},
      {"4294967295", -1},
      {"2147483648", -2147483647 - 1},
      // Far longer than any span of an answer: wraps like the installed version's atoi, no overflow.
      {std::string(40, '9'), -1},            // 10^40 - 1 modulo 2^32
      {"99999999999999999999", 1661992959},  // 10^20 - 1 modulo 2^32
  };
  for (const Row& row : rows) {
    const std::vector<std::uint8_t> bytes(row.text.begin(), row.text.end());
    EXPECT_EQ(zt::AtoiSpan(bytes), row.value) << row.text;
  }
}

TEST(DeviceFlash, HexDigits) {
  struct Row {
    char c;
    int v;
  };
  const Row rows[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15}, {'g', 0},
                      {'G', 0}, {' ', 0}, {'/', 0},  {':', 0},  {'@', 0},  {'`', 0},  {'\xFF', 0}};
  for (const Row& row : rows) EXPECT_EQ(zt::HexDigitValue(static_cast<std::uint8_t>(row.c)), row.v) << row.c;
  const std::uint8_t c216[4] = {'C', '2', '1', '6'};
  EXPECT_EQ(zt::PackHexDigits(c216), 0xC216);
  const std::uint8_t ffff[4] = {'f', 'F', 'f', 'F'};
  EXPECT_EQ(zt::PackHexDigits(ffff), 0xFFFF);
}

TEST(DeviceFlash, TableSearch) {
  struct Row {
    std::uint16_t id;
    const char* name;
    const char* size;
  };
  const Row rows[] = {{0xC216, "F10", " 8MB"},    {0xC213, "F13", " 1MB"},    {0xEF16, "F20", " 8MB"},
                      {0xEF13, "F23", " 1MB"},    {0xC217, nullptr, nullptr}, {0x16C2, nullptr, nullptr},
                      {0x0000, nullptr, nullptr}, {0xFFFF, nullptr, nullptr}};
  for (const Row& row : rows) {
    const zt::FlashType* t = zt::FindFlashType(row.id);
    if (!row.name) {
      EXPECT_EQ(t, nullptr) << std::hex << row.id;
      continue;
    }
    ASSERT_NE(t, nullptr) << std::hex << row.id;
    EXPECT_STREQ(t->name, row.name);
    EXPECT_STREQ(t->size, row.size);
  }
  EXPECT_EQ(zt::g_flashTypes[8].id, 0);  // the end row that stops every search
}

}  // namespace
