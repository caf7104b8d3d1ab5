// The update server of a build made with ZT_SERVER_FROM_ENVIRONMENT and of one made without: this
// program is built once each way (server_setting.cmake), with update/net/server_setting_win.cpp
// compiled the same way, and run under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include "update/net/server_setting.h"

namespace {

struct EnvironmentServer {
  explicit EnvironmentServer(const wchar_t* value) { ::SetEnvironmentVariableW(L"ZT_UPDATE_SERVER", value); }
  ~EnvironmentServer() { ::SetEnvironmentVariableW(L"ZT_UPDATE_SERVER", nullptr); }
};

TEST(ServerSetting, TheEnvironmentNamesTheServerOnlyWhereTheBuildAllowsIt) {
  const std::string compiledIn = zt::ParseServerAddress(ZT_UPDATE_SERVER_DEFAULT)->Origin();
  EXPECT_EQ(zt::UpdateServerAddress().Origin(), compiledIn);
  struct Row {
    const wchar_t* environment;
    const char* allowed;  // the server when the build takes the environment
  };
  for (const Row& row : {Row{L"https://localhost:8443", "https://localhost:8443"},
                         Row{L"127.0.0.1:9", "http://127.0.0.1:9"}, Row{L"not a host", nullptr}}) {
    EnvironmentServer env(row.environment);
    const bool fromEnvironment = ZT_SERVER_FROM_ENVIRONMENT && row.allowed != nullptr;
    EXPECT_EQ(zt::UpdateServerAddress().Origin(), fromEnvironment ? std::string(row.allowed) : compiledIn);
  }
}

}  // namespace
