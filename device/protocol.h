// The device's query protocol: request reports, answer parsing and the flash-type table.
// Portable: works on byte spans, so captured answers can be replayed in tests.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace zt {

inline constexpr std::size_t kReportSize = 65;  // report id + 64 bytes
inline constexpr std::size_t kAnswerSize = 64;  // the answer after the report id
inline constexpr std::uint8_t kCmdDataVersion = 0xA7;
inline constexpr std::uint8_t kCmdDeviceId = 0xAF;
inline constexpr std::uint32_t kRequestKey = 0x35A2C618;
inline constexpr std::uint32_t kChecksumXor = 0x416;
inline constexpr std::uint8_t kRequestFiller = 0xCC;
inline constexpr std::uint8_t kIdentityLength = 14;

using Report = std::array<std::uint8_t, kReportSize>;
using Answer = std::array<std::uint8_t, kAnswerSize>;

// Sum of the bytes, each unsigned, XOR 0x416.
std::uint32_t ReportChecksum(std::span<const std::uint8_t> bytes);
// Composes the 65-byte request for a command byte.
void BuildRequest(Report& report, std::uint8_t command);

// The answer area as the queries see it: 0xFF, then the bytes the read delivered after the
// report id (transferred count less one, at most 64). A count beyond the report is clamped.
Answer AnswerFromReport(const Report& report, std::size_t transferred);

// atoi over exactly the given characters: white space, optional sign, digits up to the first other.
int AtoiSpan(std::span<const std::uint8_t> chars);
// "0"-"9", "a"-"f", "A"-"F" give 0-15; anything else 0.
int HexDigitValue(std::uint8_t c);
// Four hex characters, most significant first, packed into 16 bits.
std::uint16_t PackHexDigits(std::span<const std::uint8_t, 4> chars);

struct DataVersionAnswer {
  bool valid = false;          // the query's result
  bool numbersParsed = false;  // the three numbers were read (so the device object takes them)
  int firstNumber = 0;
  int secondNumber = 0;
  int dataVersion = 0;
  std::uint16_t flashId = 0;  // meaningful when numbersParsed
};
DataVersionAnswer ParseDataVersionAnswer(const Answer& a);

// The descrambled identity, cut at the first zero; empty unless A[63] is 14.
std::string ParseDeviceIdAnswer(const Answer& a);

// The flash id's four characters A[n-5]..A[n-2] for the length byte n (14 to 64).
std::span<const std::uint8_t, 4> FlashIdSpan(const Answer& a);

struct FlashType {
  char name[32];
  std::uint16_t id;
  char size[32];
};
// Known flash ids, ended by a row of zero bytes.
extern const FlashType g_flashTypes[9];
// The first row with this id, or nullptr when the search reaches the end row.
const FlashType* FindFlashType(std::uint16_t id);

}  // namespace zt
