// What the tool accepts from its build and from the server as addresses and names: the update
// server setting ("https://host:port", "http://host", "host:port"), decimal values of headers, and
// file names the server offers. Portable (no <windows.h>).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zt {

// Decimal digits only (no sign, no blanks), up to the largest 64-bit value; nullopt otherwise.
std::optional<std::uint64_t> ParseDecimal(std::string_view text);

struct ServerAddress {
  std::string host;
  std::uint16_t port = 0;  // 0: the scheme's default (80, or 443 with `secure`)
  bool secure = false;     // https: the system checks the server's certificate

  std::uint16_t EffectivePort() const { return port != 0 ? port : (secure ? 443 : 80); }
  // "http://host:port" or "https://host:port" with the port always given: one name per server, for
  // the record of a resumable transfer and the server's request to wait.
  std::string Origin() const;
};

// "host", "host:port", or either after "http://" or "https://" (scheme in any case, an optional
// trailing "/"); port 1..65535; nullopt when malformed. A bare host is plain HTTP.
std::optional<ServerAddress> ParseServerAddress(std::string_view text);

// A name from the server that may be used as a file name and inside the script: ASCII letters,
// digits, '.', '_', '-'; 1 to 100 characters; not starting with '.'; no ".."; no device name.
bool IsSafeServerFileName(std::string_view name);

}  // namespace zt
