#include "base/descriptor.h"

#include <cstdint>
#include <fstream>

namespace zt {
namespace {

// A GBK lead byte takes the next byte with it as one character, so no search ever starts on the
// second byte of a Chinese character.
bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

size_t NextChar(std::string_view text, size_t i) {
  return (IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? i + 2 : i + 1;
}

bool IsBlank(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// First character start at or after `from` where `pattern` begins.
size_t FindFrom(std::string_view text, std::string_view pattern, size_t from) {
  for (size_t i = from; i < text.size(); i = NextChar(text, i)) {
    if (text.substr(i).starts_with(pattern)) return i;
  }
  return std::string_view::npos;
}

// Trims single-byte white space at both ends; a double-byte character is never cut.
std::string_view Trim(std::string_view value) {
  size_t first = 0;
  while (first < value.size() && IsBlank(static_cast<unsigned char>(value[first]))) ++first;
  size_t last = first;  // end of the last character that is not white space
  for (size_t i = first; i < value.size();) {
    const size_t next = NextChar(value, i);
    if (next - i == 2 || !IsBlank(static_cast<unsigned char>(value[i]))) last = next;
    i = next;
  }
  return value.substr(first, last - first);
}

}  // namespace

std::string GetKeyValue(std::string_view text, std::string_view key) {
  std::string pattern(key);
  pattern += '=';
  const size_t at = FindFrom(text, pattern, 0);
  if (at == std::string_view::npos) return {};
  const size_t equals = FindFrom(text, "=", at + 1);
  if (equals == std::string_view::npos) return {};
  const size_t valueStart = equals + 1;
  size_t valueEnd = FindFrom(text, "\n", valueStart);
  if (valueEnd == std::string_view::npos) valueEnd = text.size();
  if (valueStart >= valueEnd) return {};
  return std::string(Trim(text.substr(valueStart, valueEnd - valueStart)));
}

std::string DecodeDescriptorBytes(std::string_view raw) {
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '\x1A' || c == '\0') break;
    if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;  // CR LF -> LF
    text += c;
  }
  return text;
}

std::optional<std::string> ReadDescriptorFile(const std::filesystem::path& file) {
  auto raw = ReadDescriptorBytes(file);
  if (!raw) return std::nullopt;
  return DecodeDescriptorBytes(*raw);
}

std::optional<std::string> ReadDescriptorBytes(const std::filesystem::path& file) {
  try {
    // The C runtime opens with sharing for read and write, so a download in progress or another
    // reader never makes the open fail by itself.
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in.is_open()) return std::nullopt;
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<std::uintmax_t>(size) > kMaxDescriptorBytes) return std::nullopt;
    in.seekg(0);
    std::string raw;
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
      raw.append(chunk, static_cast<size_t>(in.gcount()));
      // A file that grew after its size was asked is read no further than the limit.
      if (in.eof() || raw.size() > kMaxDescriptorBytes) break;
    }
    if (raw.size() > kMaxDescriptorBytes) return std::nullopt;
    // A read error after the open counts as a file that cannot be read.
    if (in.bad()) return std::nullopt;
    return raw;
  } catch (...) {
    return std::nullopt;
  }
}

int AtoiRule(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
  }
  if (negative) value = 0u - value;
  return static_cast<int>(value);
}

}  // namespace zt
