#include "update/net/report.h"

#include <cstdio>

#include "base/paths.h"

namespace zt {
namespace {

std::string Encoded(std::string_view value) {
  std::string out;
  for (const unsigned char c : value) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '.' || c == '_' || c == '~';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace

std::string ReportPath(const Outcome& o, std::string_view toolVersion, std::string_view processor) {
  std::string path = std::string(kServerPathPrefix) + kReportName;
  const std::pair<const char*, std::string_view> fields[] = {
      {"tool", toolVersion},  {"cpu", processor}, {"what", o.what}, {"result", o.result},
      {"version", o.version}, {"from", o.from},   {"seq", o.seq},   {"cause", o.cause}};
  char separator = '?';
  for (const auto& [name, value] : fields) {
    path += separator;
    path += name;
    path += '=';
    path += Encoded(value);
    separator = '&';
  }
  return path;
}

}  // namespace zt
