// The two procedures under Wine with real transfers from the loopback server, and the
// replacement script run by the real command interpreter.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/ids.h"
#include "update/download_win.h"
#include "update/procedures.h"
#include "update_win_support.h"
#include "win/text.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Msg = std::pair<unsigned, std::uintptr_t>;
using zt_test::ReadAll;
using zt_test::WriteAll;

struct TestDescriptor : zt::DescriptorAccess {
  std::string server, dataVersion;
  fs::path root;
  std::string ServerText() override { return server; }
  bool ClearServerTextIf(const std::string& e) override {
    if (server != e) return false;
    server.clear();
    return true;
  }
  std::string KeyValue(const std::string& text, std::string_view key) override {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
      if (line.rfind(std::string(key) + "=", 0) == 0) {
        std::string v = line.substr(key.size() + 1);
        while (!v.empty() && (v.back() == '\r' || v.back() == ' ')) v.pop_back();
        return v;
      }
    return {};
  }
  int Atoi(std::string_view t) override { return std::atoi(std::string(t).c_str()); }
  std::string DataVersion() override { return dataVersion; }
  bool ReloadLocal() override {
    dataVersion = KeyValue(ReadAll(root / "version.txt"), "data_version");
    return true;
  }
};

struct Recorder : zt::MessagePoster {
  std::vector<Msg> messages;
  void Post(unsigned m, std::uintptr_t w) override { messages.emplace_back(m, w); }
};

fs::path OwnFolder() {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  return fs::path(self).parent_path();
}

struct DataRow {
  const char* label;
  const char* fault;
  int exitCode;
  bool installed;
};

class UpdateDataProcedureWine : public ::testing::TestWithParam<DataRow> {};

TEST_P(UpdateDataProcedureWine, InstallsOnlyWholePackages) {
  const DataRow& row = GetParam();
  zt_test::Server server;
  const std::string pkg = zt_test::ExeBody(50000, 'd');
  const std::string descriptor = "data_version=0107\r\ndata_time=2025-03-01\r\ndata_file=wine_pkg.exe\r\ndata_length=50000\r\n";
  server.Serve("version.txt", descriptor);
  server.Serve("wine_pkg.exe", pkg);
  server.SetFault("wine_pkg.exe", row.fault);
  const fs::path root = zt_test::FreshFolder(std::string("data_") + row.label);
  const fs::path download = root / "Download";
  fs::create_directories(download);
  WriteAll(root / "data_update.exe", "MZ old program");
  WriteAll(root / "version.txt", "data_version=0106\r\n");

  zt::WinInetDownloader downloader({server.Address(), download}, 20s);
  ASSERT_TRUE(downloader.Download("version.txt", 0));
  TestDescriptor d;
  d.root = root;
  d.server = ReadAll(download / "version.txt");
  d.dataVersion = "0106";
  Recorder poster;
  EXPECT_EQ(zt::RunDataProcedure(d, downloader, poster, {root, download, zt::MoveReplacing}), row.exitCode);
  EXPECT_EQ(poster.messages, (std::vector<Msg>{{zt::WM_DATA_DOWNLOADING, 0}, {zt::WM_DATA_DONE, row.installed ? 1u : 0u}}));
  if (row.installed) {
    EXPECT_EQ(ReadAll(root / "data_update.exe"), pkg);
    EXPECT_EQ(ReadAll(root / "version.txt"), descriptor);
    EXPECT_EQ(d.dataVersion, "0107");
  } else {
    EXPECT_EQ(ReadAll(root / "data_update.exe"), "MZ old program");
    EXPECT_EQ(ReadAll(root / "version.txt"), "data_version=0106\r\n");
  }
  server.SetFault("wine_pkg.exe", "{}");
}

INSTANTIATE_TEST_SUITE_P(Server, UpdateDataProcedureWine,
                         ::testing::Values(DataRow{"whole", "{}", 1, true},
                                           DataRow{"dropped", R"({"drop_after": 30000})", 0, false},
                                           DataRow{"error_page", R"({"status": 503})", 0, false},
                                           DataRow{"short", R"({"announce": 60000})", 0, false}),
                         [](const auto& info) { return std::string(info.param.label); });

struct SelfUpdate {
  zt_test::Server server;
  fs::path base, exe, download, marker;
  std::string newExe;
  TestDescriptor d;
  Recorder poster;
  zt::ScriptProcessStarter starter;
  zt::FolderReplaceabilityCheck check;
  explicit SelfUpdate(const std::string& tag) {
    base = zt_test::FreshFolder(tag) / "My Tools";  // blanks in the executable's folder
    fs::create_directories(base);
    exe = base / "ZT_AutoUpdate.exe";
    WriteAll(exe, "MZ the running version");
    download = zt_test::FreshFolder(tag + "_dl");
    newExe = ReadAll(OwnFolder() / "update_marker.exe");
    server.Serve("ZT_AutoUpdate_new.exe", newExe);
    d.server = "updater_version=2.8\r\nupdater_file=ZT_AutoUpdate_new.exe\r\nupdater_length=" +
               std::to_string(newExe.size()) + "\r\n";
    marker = download / "marker.txt";
    ::SetEnvironmentVariableW(L"ZT_TEST_MARKER", marker.c_str());
  }
  ~SelfUpdate() {
    ::SetEnvironmentVariableW(L"ZT_TEST_MARKER", nullptr);
    ::SetFileAttributesW(exe.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  int Run() {
    zt::WinInetDownloader downloader({server.Address(), download}, 30s);
    zt::UpdaterPaths paths{zt::PathToUtf8(exe), zt::PathToUtf8(download) + "\\", "2.7", zt::Utf8ToOem};
    return zt::RunUpdaterProcedure(d, downloader, poster, starter, check, paths);
  }
};

// The whole replacement: the script written in the console code page, run by cmd, waits, puts the
// new executable in place, starts it with /autohide and deletes itself.
TEST(UpdateSelfReplacementWine, ScriptReplacesAndRestartsTheExecutable) {
  SelfUpdate s("self_ok");
  ASSERT_FALSE(s.newExe.empty()) << "update_marker.exe beside the test";
  EXPECT_EQ(s.Run(), 1);
  EXPECT_EQ(s.poster.messages, (std::vector<Msg>{{zt::WM_UPDATER_DOWNLOADING, 0}, {zt::WM_UPDATER_DONE, 1}}));
  const fs::path script = s.download / "delete.bat";
  const auto until = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < until && (fs::exists(script) || !fs::exists(s.marker)))
    std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(fs::exists(script)) << "the script deletes itself";
  EXPECT_EQ(ReadAll(s.exe), s.newExe) << "the executable was replaced";
  ASSERT_TRUE(fs::exists(s.marker)) << "the new executable was started";
  std::this_thread::sleep_for(300ms);
  const std::string raw = ReadAll(s.marker);
  const std::string text = zt::Narrow(std::wstring_view(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / 2));
  EXPECT_NE(text.find("/autohide"), std::string::npos) << text;
  EXPECT_NE(text.find("My Tools\\ZT_AutoUpdate.exe"), std::string::npos) << text;
}

// A read-only executable could never be replaced: the tool says so and keeps running.
TEST(UpdateSelfReplacementWine, ReadOnlyExecutableIsLeftAloneAndTheToolKeepsRunning) {
  SelfUpdate s("self_ro");
  ASSERT_TRUE(::SetFileAttributesW(s.exe.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(s.Run(), 0);
  EXPECT_EQ(s.poster.messages, (std::vector<Msg>{{zt::WM_UPDATER_DONE, 0}}));
  EXPECT_FALSE(fs::exists(s.download / "delete.bat"));
  EXPECT_EQ(ReadAll(s.exe), "MZ the running version");
}

}  // namespace
