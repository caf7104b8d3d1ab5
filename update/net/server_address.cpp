#include "update/net/server_address.h"

#include <cctype>

namespace zt {
namespace {

// Case-insensitive "starts with" for the ASCII scheme prefix.
bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<std::uint64_t> ParseDecimal(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::string ServerAddress::Origin() const {
  return std::string(secure ? "https://" : "http://") + host + ":" + std::to_string(EffectivePort());
}

std::optional<ServerAddress> ParseServerAddress(std::string_view text) {
  ServerAddress a;
  if (StartsWithNoCase(text, "https://")) {
    a.secure = true;
    text.remove_prefix(8);
  } else if (StartsWithNoCase(text, "http://")) {
    text.remove_prefix(7);
  }
  if (text.ends_with('/')) text.remove_suffix(1);
  const auto colon = text.find(':');
  std::string_view host = text.substr(0, colon);
  if (host.empty()) return std::nullopt;
  for (char c : host) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (!(std::isalnum(u) || c == '.' || c == '-' || c == '_')) return std::nullopt;
  }
  a.host = std::string(host);
  if (colon == std::string_view::npos) return a;
  const std::string_view port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5) return std::nullopt;
  const std::optional<std::uint64_t> value = ParseDecimal(port);
  if (!value || *value == 0 || *value > 65535) return std::nullopt;
  a.port = static_cast<std::uint16_t>(*value);
  return a;
}

bool IsSafeServerFileName(std::string_view name) {
  if (name.empty() || name.size() > 100 || name.front() == '.' || name.back() == '.') return false;
  if (name.find("..") != std::string_view::npos) return false;
  for (char c : name) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  // Device names are devices whatever extension follows them ("NUL.exe").
  std::string base(name.substr(0, name.find('.')));
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CLOCK$") return false;
  if (base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '0' && base[3] <= '9')
    return false;
  return true;
}

}  // namespace zt
