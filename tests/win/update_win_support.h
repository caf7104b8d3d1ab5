// Shared helpers of the update Windows tests: the loopback server's state folder (from
// ZT_TEST_UPDATE_STATE), served files, fault modes, the request log, and scratch folders.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/fsutil.h"
#include "tests/unit/file_helpers.h"
#include "update/net/server_address.h"
#include "update/net/transfer.h"
#include "win/text.h"

namespace zt_test {

using zt::test::ReadAll;
using zt::test::WriteAll;

// An executable-looking body whose bytes depend on position and `seed`, so a mixed or shifted
// copy never compares equal.
inline std::string ExeBody(std::size_t n, char seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + static_cast<unsigned char>(seed)) % 251);
  if (n > 0) s[0] = 'M';
  if (n > 1) s[1] = 'Z';
  return s;
}

inline std::filesystem::path FreshFolder(const std::string& tag) {
  const std::filesystem::path dir = std::filesystem::path("C:\\zt_update_test") / tag;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::create_directories(dir);
  return dir;
}

inline int TempFilesIn(const std::filesystem::path& dir) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) n += e.path().filename().string().ends_with(".ztpart");
  return n;
}

// A port where nothing listens.
inline std::uint16_t ClosedPort() { return 1; }

class Server {
 public:
  Server() {
    wchar_t value[1024];
    const DWORD n = ::GetEnvironmentVariableW(L"ZT_TEST_UPDATE_STATE", value, 1024);
    if (n == 0 || n >= 1024) {
      ADD_FAILURE() << "ZT_TEST_UPDATE_STATE is not set (the update_server fixture)";
      return;
    }
    state_ = zt::PathFromUtf8(zt::Narrow(std::wstring_view(value, n)));
    port_ = static_cast<std::uint16_t>(std::stoi(ReadAll(state_ / "port")));
  }
  zt::ServerAddress Address() const { return {"127.0.0.1", port_}; }
  std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
  void Serve(const std::string& name, const std::string& bytes) const { WriteAll(state_ / "root" / name, bytes); }
  void Remove(const std::string& name) const {
    std::error_code ec;
    std::filesystem::remove(state_ / "root" / name, ec);
  }
  // `json` is the fault object, "{}" for none. The server reads the file on every request.
  void SetFault(const std::string& name, const std::string& json) {
    if (json == "{}")
      faults_.erase(name);
    else
      faults_[name] = json;
    std::string text = "{";
    for (const auto& [n, f] : faults_) text += (text.size() > 1 ? ", \"" : "\"") + n + "\": " + f;
    text += "}";
    const auto tmp = state_ / "faults.json.win";
    WriteAll(tmp, text);
    ::MoveFileExW(tmp.c_str(), (state_ / "faults.json").c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  std::vector<std::string> RequestsFor(const std::string& name) const {
    std::vector<std::string> lines;
    std::istringstream in(ReadAll(state_ / "requests.log"));
    std::string line;
    while (std::getline(in, line))
      if (line.find("\"name\": \"" + name + "\"") != std::string::npos) lines.push_back(line);
    return lines;
  }

 private:
  std::filesystem::path state_;
  std::uint16_t port_ = 0;
  std::map<std::string, std::string> faults_;
};

// Points ZT_UPDATE_SERVER at the test server for the life of the object.
class ServerEnvironment {
 public:
  explicit ServerEnvironment(const Server& server) {
    ::SetEnvironmentVariableW(L"ZT_UPDATE_SERVER", zt::Widen(server.HostPort()).c_str());
  }
  ~ServerEnvironment() { ::SetEnvironmentVariableW(L"ZT_UPDATE_SERVER", nullptr); }
};

}  // namespace zt_test
