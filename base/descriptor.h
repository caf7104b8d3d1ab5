// The version descriptor "version.txt": key=value lines, GBK text, kept as raw bytes.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zt {

// The value of `key` in a descriptor text, trimmed of white space at both ends; empty when absent.
// The first occurrence of key + "=" anywhere in the text wins; GBK double-byte characters are
// stepped over whole, so a match never starts on a trail byte.
std::string GetKeyValue(std::string_view text, std::string_view key);

// The text-mode reading rules: CR LF becomes LF, a 0x1A byte ends the text, and the text ends at
// its first NUL.
std::string DecodeDescriptorBytes(std::string_view raw);

// No descriptor is larger: a bigger file (one planted in the shared folder, say) is not read at all.
inline constexpr std::uintmax_t kMaxDescriptorBytes = 64 * 1024;

// A descriptor file's bytes as stored (shared read); nullopt when it cannot be opened or read, or
// when the open file is larger than kMaxDescriptorBytes (its size is asked of the open file, so it
// cannot be swapped for a larger one after the check).
std::optional<std::string> ReadDescriptorBytes(const std::filesystem::path& file);
// The same, decoded by the reading rules.
std::optional<std::string> ReadDescriptorFile(const std::filesystem::path& file);

// The C library's atoi rules (leading white space, optional sign, digits), without undefined
// behaviour on overflow: the result wraps as a 32-bit value.
int AtoiRule(std::string_view text);

}  // namespace zt
