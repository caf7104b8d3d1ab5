// Whether the environment may name the update server (or call the connection metered) is decided
// by this one file's compile definition (CMake option ZT_SERVER_FROM_ENVIRONMENT), so that a release
// build cannot be pointed at another server, and a test can build this file both ways.
#include <windows.h>

#include <mutex>
#include <string_view>

#include "base/log.h"
#include "base/paths.h"
#include "update/net/server_setting.h"
#include "win/text.h"

#ifndef ZT_SERVER_FROM_ENVIRONMENT
#error "ZT_SERVER_FROM_ENVIRONMENT must be 0 or 1 (the CMake option of the same name)"
#endif

namespace zt {

// scripts/publish reads the server from a built image by this mark; read below, so the linker keeps it.
extern const char kServerMark[] = "ZT_UPDATE_SERVER=" ZT_UPDATE_SERVER_DEFAULT;

namespace {

std::optional<std::string> EnvironmentServer() {
  wchar_t value[512];
  const DWORD n = ::GetEnvironmentVariableW(Widen(kServerEnvVar).c_str(), value, 512);
  if (n == 0 || n >= 512) return std::nullopt;
  return Narrow(std::wstring_view(value, n));
}

}  // namespace

bool MeteredByEnvironment() {
#if ZT_SERVER_FROM_ENVIRONMENT
  wchar_t value[8];
  const DWORD n = ::GetEnvironmentVariableW(L"ZT_NETWORK_METERED", value, 8);
  return n > 0 && n < 8 && std::wstring_view(value, n) == L"1";
#else
  return false;
#endif
}

ServerAddress UpdateServerAddress() {
  if (const std::optional<std::string> text = EnvironmentServer()) {
#if ZT_SERVER_FROM_ENVIRONMENT
    if (auto a = ParseServerAddress(*text)) return *a;
    LogEvent("download", std::string(kServerEnvVar) + " \"" + LogValue(*text) +
                             "\" is not [http:// or https://]host[:port]; using the default");
#else
    static std::once_flag ignoredOnce;
    std::call_once(ignoredOnce, [] {
      LogEvent("download", std::string(kServerEnvVar) + " in the environment is ignored by this build");
    });
#endif
  }
  const std::string_view mark = kServerMark;
  const std::string_view compiledIn = mark.substr(mark.find('=') + 1);
  if (auto a = ParseServerAddress(compiledIn)) return *a;
  return ServerAddress{std::string(compiledIn), 0, false};
}

}  // namespace zt
