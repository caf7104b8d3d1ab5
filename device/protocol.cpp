#include "device/protocol.h"

#include <algorithm>

namespace zt {

namespace {
void PutU32(Report& r, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) r[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
}  // namespace

std::uint32_t ReportChecksum(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  return sum ^ kChecksumXor;
}

void BuildRequest(Report& report, std::uint8_t command) {
  report.fill(kRequestFiller);
  report[0] = 0x00;
  report[1] = command;
  report[2] = 0x0E;
  PutU32(report, 3, 128);
  PutU32(report, 7, 1);
  PutU32(report, 11, kRequestKey);
  PutU32(report, 15, ReportChecksum(std::span<const std::uint8_t>(report).subspan(1, 14)));
}

Answer AnswerFromReport(const Report& report, std::size_t transferred) {
  Answer a;
  a.fill(0xFF);
  const std::size_t delivered = std::min(transferred, kReportSize);
  if (delivered > 1) std::copy_n(report.begin() + 1, delivered - 1, a.begin());
  return a;
}

int AtoiSpan(std::span<const std::uint8_t> chars) {
  std::size_t i = 0;
  auto space = [](std::uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (i < chars.size() && space(chars[i])) ++i;
  bool negative = false;
  if (i < chars.size() && (chars[i] == '+' || chars[i] == '-')) negative = chars[i++] == '-';
  // Unsigned, so a long run of digits wraps instead of overflowing; the answer's spans are short.
  std::uint32_t value = 0;
  for (; i < chars.size() && chars[i] >= '0' && chars[i] <= '9'; ++i) value = value * 10u + (chars[i] - '0');
  return static_cast<int>(negative ? 0u - value : value);
}

int HexDigitValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

std::uint16_t PackHexDigits(std::span<const std::uint8_t, 4> chars) {
  unsigned v = 0;
  for (std::uint8_t c : chars) v = (v << 4) | static_cast<unsigned>(HexDigitValue(c));
  return static_cast<std::uint16_t>(v);
}

std::span<const std::uint8_t, 4> FlashIdSpan(const Answer& a) {
  // Callers check the length byte first; clamp anyway so the span stays inside the answer.
  const std::size_t n = std::clamp<std::size_t>(a[63], kIdentityLength, kAnswerSize);
  return std::span<const std::uint8_t, 4>(a.data() + (n - 5), 4);
}

DataVersionAnswer ParseDataVersionAnswer(const Answer& a) {
  DataVersionAnswer r;
  const unsigned n = a[63];
  if (n > 64 || a[0] != 'P' || n < 14) return r;
  const std::span<const std::uint8_t> all(a);
  r.numbersParsed = true;
  r.firstNumber = AtoiSpan(all.subspan(1, 3));
  r.secondNumber = AtoiSpan(all.subspan(5, 4));
  r.dataVersion = AtoiSpan(all.subspan(10, 4));
  r.flashId = PackHexDigits(FlashIdSpan(a));
  // Unsigned on purpose: the device's own rule lets a negative version pass as "above 1000".
  r.valid = static_cast<std::uint32_t>(r.firstNumber) != 0 && static_cast<std::uint32_t>(r.dataVersion) > 1000u &&
            static_cast<std::uint32_t>(r.secondNumber) != 0;
  return r;
}

std::string ParseDeviceIdAnswer(const Answer& a) {
  char out[9] = {};
  if (a[63] == kIdentityLength) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(a[1 + i] ^ a[0]);
  }
  return std::string(out);  // ends at the first zero byte
}

const FlashType g_flashTypes[9] = {
    {"F10", 0xC216, " 8MB"}, {"F11", 0xC215, " 4MB"}, {"F12", 0xC214, " 2MB"},
    {"F13", 0xC213, " 1MB"}, {"F20", 0xEF16, " 8MB"}, {"F21", 0xEF15, " 4MB"},
    {"F22", 0xEF14, " 2MB"}, {"F23", 0xEF13, " 1MB"}, {"", 0, ""},
};

const FlashType* FindFlashType(std::uint16_t id) {
  for (const FlashType* row = g_flashTypes;; ++row) {
    if (row->id == 0) return nullptr;
    if (row->id == id) return row;
  }
}

}  // namespace zt
