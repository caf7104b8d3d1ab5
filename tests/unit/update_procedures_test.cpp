#include "update/procedures.h"

#include <gtest/gtest.h>

#include "tests/unit/fake_crypto.h"
#include "tests/unit/file_helpers.h"

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/fsutil.h"
#include "app/ids.h"
#include "update/transfer.h"

namespace {

namespace fs = std::filesystem;
using Msg = std::pair<unsigned, std::uintptr_t>;

using zt::test::ReadAll;
using zt::test::WriteAll;

// A descriptor store with the same contract as the shared state: copies out, compare-and-clear.
struct FakeDescriptor : zt::DescriptorAccess {
  std::mutex m;
  std::string server, dataVersion;
  fs::path root;
  int reloads = 0;
  zt::DescriptorCopy Server() override {
    std::lock_guard l(m);
    return {server, server};
  }
  bool ClearServerIf(const zt::DescriptorCopy& expected) override {
    std::lock_guard l(m);
    if (server != expected.text) return false;
    server.clear();
    return true;
  }
  std::string KeyValue(const std::string& text, std::string_view key) override {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind(std::string(key) + "=", 0) == 0) {
        std::string v = line.substr(key.size() + 1);
        while (!v.empty() && (v.back() == ' ' || v.back() == '\r')) v.pop_back();
        return v;
      }
    }
    return {};
  }
  int Atoi(std::string_view text) override { return std::atoi(std::string(text).c_str()); }
  std::string DataVersion() override {
    std::lock_guard l(m);
    return dataVersion;
  }
  std::string LocalText() override { return ReadAll(root / "version.txt"); }
  bool ReloadLocal() override {
    std::lock_guard l(m);
    ++reloads;
    dataVersion = KeyValue(ReadAll(root / "version.txt"), "data_version");
    return !dataVersion.empty();
  }
  std::string Shown(std::string_view value) override { return std::string(value); }
};

// Serves bodies from a map through the real transfer loop, into the download folder.
struct FakeDownloader : zt::Downloader {
  fs::path folder;
  std::map<std::string, std::string> bodies;
  std::vector<std::pair<std::string, std::int32_t>> calls;
  bool Download(const std::string& name, std::int32_t expected) override {
    calls.emplace_back(name, expected);
    auto it = bodies.find(name);
    if (it == bodies.end()) return false;
    if (expected != 0 && it->second.size() != static_cast<std::size_t>(expected)) return false;
    WriteAll(folder / name, it->second);
    return true;
  }
};

// The notices as the window would receive them.
struct FakeNotices : zt::WorkerNotices {
  std::mutex m;
  std::vector<Msg> messages;
  void Add(unsigned message, std::uintptr_t w) {
    std::lock_guard l(m);
    messages.emplace_back(message, w);
  }
  void DataDownloading() override { Add(zt::WM_DATA_DOWNLOADING, 0); }
  void DataDone(bool ok) override { Add(zt::WM_DATA_DONE, ok); }
  void UpdaterDownloading() override { Add(zt::WM_UPDATER_DOWNLOADING, 0); }
  void UpdaterDone(bool ok) override { Add(zt::WM_UPDATER_DONE, ok); }
  void Progress(unsigned percent) override { Add(zt::WM_DOWNLOAD_PROGRESS, percent); }
};

struct FakeStarter : zt::ProcessStarter {
  bool succeed = true;
  std::vector<std::string> started;
  bool StartScript(const std::string& path, std::string& reason) override {
    started.push_back(path);
    if (!succeed) reason = "no cmd";
    return succeed;
  }
};

struct FakeCheck : zt::ReplaceabilityCheck {
  std::optional<std::string> problem;
  int problemFromCall = 1;  // the problem is reported from this call on
  int calls = 0;
  std::optional<std::string> Problem(const fs::path&) override {
    ++calls;
    return calls >= problemFromCall ? problem : std::nullopt;
  }
};

const std::string kExe = "MZ" + std::string(998, 'x');  // 1000 bytes, an executable image
const std::string kExe2 = "MZ" + std::string(998, 'y');

struct Fixture {
  fs::path dir, root, download;
  FakeDescriptor desc;
  FakeDownloader dl;
  FakeNotices poster;
  zt::test::FakeCrypto crypto;
  zt::UpdateTrust trust{std::nullopt, crypto};
  explicit Fixture(const std::string& tag) {
    dir = fs::temp_directory_path() /
          ("zt_proc_" + tag + "_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::remove_all(dir);
    root = dir / "ZT_Update";
    download = root / "Download";
    fs::create_directories(download);
    desc.root = root;
    dl.folder = download;
  }
  ~Fixture() { fs::remove_all(dir); }
  zt::DataPaths Paths() const { return {root, download, {}}; }
  // The descriptor as fetched: its text is the server text and its file is Download/version.txt.
  void Serve(const std::string& text) {
    desc.server = text;
    WriteAll(download / "version.txt", text);
  }
};

std::string DataDescriptor(const std::string& version, const std::string& file, const std::string& length) {
  return "data_version=" + version + "\ndata_time=2024-01-01\ndata_file=" + file + "\ndata_length=" + length + "\n";
}

struct DataCase {
  const char* label;
  std::string descriptor;        // server text ("" = none)
  std::string installedVersion;  // m_strDataVersion before the run
  std::string installedExe;      // "" = no installed program
  std::map<std::string, std::string> served;
  int exitCode;
  std::vector<Msg> messages;
  bool serverTextCleared;
  std::string exeAfter;  // installed program after the run ("" = absent)
  int downloads;
};

const std::vector<Msg> kDataOk = {{zt::WM_DATA_DOWNLOADING, 0}, {zt::WM_DATA_DONE, 1}};
const std::vector<Msg> kDataFail = {{zt::WM_DATA_DOWNLOADING, 0}, {zt::WM_DATA_DONE, 0}};

class DataProcedure : public ::testing::TestWithParam<DataCase> {};

TEST_P(DataProcedure, EndsAsDescribed) {
  const DataCase& c = GetParam();
  Fixture f(c.label);
  f.Serve(c.descriptor);
  f.desc.dataVersion = c.installedVersion;
  WriteAll(f.root / "version.txt", "data_version=" + c.installedVersion + "\n");
  if (!c.installedExe.empty()) WriteAll(f.root / "data_update.exe", c.installedExe);
  f.dl.bodies = c.served;

  EXPECT_EQ(zt::RunDataProcedure(f.desc, f.dl, f.poster, f.trust, f.Paths()), c.exitCode);
  EXPECT_EQ(f.poster.messages, c.messages);
  EXPECT_EQ(f.desc.server.empty(), c.descriptor.empty() || c.serverTextCleared);
  EXPECT_EQ(static_cast<int>(f.dl.calls.size()), c.downloads);
  if (c.exeAfter.empty())
    EXPECT_FALSE(fs::exists(f.root / "data_update.exe"));
  else
    EXPECT_EQ(ReadAll(f.root / "data_update.exe"), c.exeAfter);
  if (c.exitCode == 1) {
    EXPECT_EQ(ReadAll(f.root / "version.txt"), c.descriptor);
    EXPECT_EQ(f.desc.reloads, 1);
    // A second run right after finds nothing to do, except when no length was given: then the
    // installed program never has the "expected" size 0 and is fetched again.
    f.poster.messages.clear();
    const bool unsized = std::string(c.label) == "length_not_number";
    EXPECT_EQ(zt::RunDataProcedure(f.desc, f.dl, f.poster, f.trust, f.Paths()), unsized ? 1 : 0);
    EXPECT_EQ(f.poster.messages, unsized ? kDataOk : std::vector<Msg>{});
  } else {
    EXPECT_EQ(f.desc.reloads, 0);
    EXPECT_EQ(ReadAll(f.root / "version.txt"), "data_version=" + c.installedVersion + "\n");
  }
}

// One row a case, kept as written.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Endings, DataProcedure,
    ::testing::Values(
        DataCase{"no_descriptor", "", "0100", "", {}, 0, {}, false, "", 0},
        DataCase{"no_data_file", "data_version=0105\ndata_length=1000\n", "0100", "", {}, 0, {}, true, "", 0},
        DataCase{"empty_length", DataDescriptor("0105", "p.exe", ""), "0100", "", {}, 0, {}, true, "", 0},
        DataCase{"traversal_name", DataDescriptor("0105", "..\\..\\Windows\\p.exe", "1000"), "0100", "", {}, 0, {}, true, "", 0},
        DataCase{"injection_name", DataDescriptor("0105", "a&calc.exe", "1000"), "0100", "", {}, 0, {}, true, "", 0},
        DataCase{"device_name", DataDescriptor("0105", "NUL.exe", "1000"), "0100", "", {}, 0, {}, true, "", 0},
        // Names of the tool's own files in the download folder are refused like unsafe ones.
        DataCase{"descriptor_name", DataDescriptor("0105", "version.txt", "1000"), "0100", "", {{"version.txt", kExe2}}, 0, {}, true, "", 0},
        DataCase{"script_name", DataDescriptor("0105", "Delete.BAT", "1000"), "0100", "", {{"Delete.BAT", kExe2}}, 0, {}, true, "", 0},
        DataCase{"nothing_to_do", DataDescriptor("0105", "p.exe", "1000"), "0105", kExe, {{"p.exe", kExe2}}, 0, {}, false, kExe, 0},
        DataCase{"numeric_equal_text_differs", DataDescriptor("0105", "p.exe", "1000"), "105", kExe, {{"p.exe", kExe2}}, 1, kDataOk, false, kExe2, 1},
        DataCase{"older_on_server", DataDescriptor("0099", "p.exe", "1000"), "0105", kExe, {{"p.exe", kExe2}}, 1, kDataOk, false, kExe2, 1},
        DataCase{"missing_program", DataDescriptor("0105", "p.exe", "1000"), "0105", "", {{"p.exe", kExe2}}, 1, kDataOk, false, kExe2, 1},
        DataCase{"wrong_size_program", DataDescriptor("0105", "p.exe", "1000"), "0105", "MZshort", {{"p.exe", kExe2}}, 1, kDataOk, false, kExe2, 1},
        DataCase{"download_fails", DataDescriptor("0106", "p.exe", "1000"), "0105", kExe, {}, 0, kDataFail, false, kExe, 1},
        DataCase{"wrong_length", DataDescriptor("0106", "p.exe", "999"), "0105", kExe, {{"p.exe", kExe2}}, 0, kDataFail, false, kExe, 1},
        DataCase{"not_executable", DataDescriptor("0106", "p.exe", "9"), "0105", kExe, {{"p.exe", "<html>404"}}, 0, kDataFail, false, kExe, 2},
        DataCase{"length_not_number", DataDescriptor("0106", "p.exe", "abc"), "0105", kExe, {{"p.exe", kExe2}}, 1, kDataOk, false, kExe2, 1}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

TEST(DataProcedureInstall, FailedCopyLeavesInstalledFilesAndPostsFailure) {
  Fixture f("copy_fails");
  f.Serve(DataDescriptor("0106", "p.exe", "1000"));
  f.desc.dataVersion = "0105";
  WriteAll(f.root / "version.txt", "data_version=0105\n");
  WriteAll(f.root / "data_update.exe", kExe);
  f.dl.bodies = {{"p.exe", kExe2}};
  zt::DataPaths paths = f.Paths();
  int replaces = 0;
  // The program is replaced, the descriptor copy fails: the run reports failure and does not reload.
  paths.replace = [&](const fs::path& from, const fs::path& to, std::string& why) {
    if (++replaces == 2) {
      why = "in use";
      return false;
    }
    return zt::RenameReplacing(from, to, why);
  };
  EXPECT_EQ(zt::RunDataProcedure(f.desc, f.dl, f.poster, f.trust, paths), 0);
  EXPECT_EQ(f.poster.messages, kDataFail);
  EXPECT_EQ(f.desc.reloads, 0);
  EXPECT_EQ(ReadAll(f.root / "version.txt"), "data_version=0105\n");
  for (const auto& e : fs::directory_iterator(f.root))
    EXPECT_FALSE(e.path().filename().string().ends_with(".ztpart")) << e.path();
}

TEST(DataProcedureConcurrency, CompareAndClearKeepsANewerDescriptor) {
  // The main thread fetched a new descriptor while the worker read the incomplete old one.
  struct RacingDescriptor : FakeDescriptor {
    bool swapped = false;
    std::string KeyValue(const std::string& text, std::string_view key) override {
      if (!swapped) {
        swapped = true;
        std::lock_guard l(m);
        server = "data_version=0200\n";
      }
      return FakeDescriptor::KeyValue(text, key);
    }
  };
  Fixture f("race");
  RacingDescriptor d;
  d.server = "incomplete=1\n";
  EXPECT_EQ(zt::RunDataProcedure(d, f.dl, f.poster, f.trust, f.Paths()), 0);
  EXPECT_EQ(d.server, "data_version=0200\n");
}

// A fetch on the window's thread replaces the fetched descriptor while the package downloads: the
// run installs the descriptor it started from, so package and descriptor still describe each other.
TEST(DataProcedureConcurrency, DescriptorFetchedDuringTheDownloadIsNotInstalledWithTheOldPackage) {
  const std::string served = DataDescriptor("0106", "p.exe", "1000");
  for (const std::string& meanwhile :
       {std::string("data_version=0106\r\ndata_time=2024-01-01\r\ndata_file=p.exe\r\n"),
        DataDescriptor("0107", "p.exe", "1000"), DataDescriptor("0106", "q.exe", "1000"), std::string("-")}) {
    SCOPED_TRACE(meanwhile);
    struct RefetchingDownloader : FakeDownloader {
      std::string meanwhile;
      bool Download(const std::string& name, std::int32_t expected) override {
        const bool ok = FakeDownloader::Download(name, expected);
        if (meanwhile == "-")
          fs::remove(folder / "version.txt");
        else
          WriteAll(folder / "version.txt", meanwhile);
        return ok;
      }
    } dl;
    Fixture f("refetch");
    f.Serve(served);
    f.desc.dataVersion = "0105";
    WriteAll(f.root / "version.txt", "data_version=0105\n");
    WriteAll(f.root / "data_update.exe", kExe);
    dl.folder = f.download;
    dl.bodies = {{"p.exe", kExe2}};
    dl.meanwhile = meanwhile;
    EXPECT_EQ(zt::RunDataProcedure(f.desc, dl, f.poster, f.trust, f.Paths()), 1);
    EXPECT_EQ(f.poster.messages, kDataOk);
    EXPECT_EQ(ReadAll(f.root / "data_update.exe"), kExe2);
    EXPECT_EQ(ReadAll(f.root / "version.txt"), served);
  }
}

// ---- self-update ----

struct UpdaterRun {
  Fixture f;
  FakeStarter starter;
  FakeCheck check;
  zt::UpdaterPaths paths;
  fs::path exe;
  explicit UpdaterRun(const std::string& tag) : f(tag) {
    exe = f.dir / "ZT Tool" / "ZT_AutoUpdate.exe";
    fs::create_directories(exe.parent_path());
    WriteAll(exe, "MZ the running one");
    paths.exePath = zt::PathToUtf8(exe);
    paths.downloadFolder = zt::PathToUtf8(f.download) + "/";
    paths.appVersion = "2.7";
    paths.toConsoleCodePage = [](std::string_view s) -> std::optional<std::string> {
      for (unsigned char c : s)
        if (c >= 0x80) return std::nullopt;  // an ASCII console code page for the test
      return std::string(s);
    };
  }
  int Run() { return zt::RunUpdaterProcedure(f.desc, f.dl, f.poster, starter, check, f.trust, paths); }
  void MoveExe(const fs::path& to) {
    exe = to;
    fs::create_directories(exe.parent_path());
    WriteAll(exe, "MZ the running one");
    paths.exePath = zt::PathToUtf8(exe);
  }
  fs::path Placed() const { return zt::PathFromUtf8(zt::NewExecutablePath(paths.exePath)); }
  fs::path Script() const { return f.download / "delete.bat"; }
};

std::string UpdaterDescriptor(const std::string& version, const std::string& file, const std::string& length) {
  return "updater_version=" + version + "\nupdater_file=" + file + "\nupdater_length=" + length + "\n";
}

struct UpdaterCase {
  const char* label;
  std::string descriptor;
  std::map<std::string, std::string> served;
  std::optional<std::string> checkProblem;
  bool starts;
  int exitCode;
  std::vector<Msg> messages;
  bool serverTextCleared;
  bool scriptLeft;
  int downloads;
};

class UpdaterProcedure : public ::testing::TestWithParam<UpdaterCase> {};

TEST_P(UpdaterProcedure, EndsAsDescribed) {
  const UpdaterCase& c = GetParam();
  UpdaterRun u(c.label);
  u.f.Serve(c.descriptor);
  u.f.dl.bodies = c.served;
  u.check.problem = c.checkProblem;
  u.starter.succeed = c.starts;
  WriteAll(u.Script(), "old script");

  EXPECT_EQ(u.Run(), c.exitCode);
  EXPECT_EQ(u.f.poster.messages, c.messages);
  EXPECT_EQ(u.f.desc.server.empty(), c.descriptor.empty() || c.serverTextCleared);
  EXPECT_EQ(static_cast<int>(u.f.dl.calls.size()), c.downloads);
  if (c.scriptLeft) {
    ASSERT_EQ(u.starter.started.size(), 1u);
    EXPECT_EQ(u.starter.started[0], u.paths.downloadFolder + "delete.bat");
    const std::string script = ReadAll(u.Script());
    EXPECT_EQ(script, zt::BuildReplacementScript(u.paths.exePath, u.paths.downloadFolder + "delete.bat"));
    // The new executable waits, whole, beside the old one.
    EXPECT_EQ(ReadAll(u.Placed()), kExe);
  } else {
    // Either never reached (the old script untouched) or removed after a failure; nothing waits
    // beside the executable.
    EXPECT_TRUE(!fs::exists(u.Script()) || ReadAll(u.Script()) == "old script");
    EXPECT_FALSE(fs::exists(u.Placed()));
  }
  if (c.checkProblem) {
    EXPECT_TRUE(u.starter.started.empty());
  }
}

const std::vector<Msg> kUpdOk = {{zt::WM_UPDATER_DOWNLOADING, 0}, {zt::WM_UPDATER_DONE, 1}};
const std::vector<Msg> kUpdFail = {{zt::WM_UPDATER_DOWNLOADING, 0}, {zt::WM_UPDATER_DONE, 0}};
const std::vector<Msg> kUpdDoneOnly = {{zt::WM_UPDATER_DONE, 0}};
const std::map<std::string, std::string> kServedExe = {{"ZT_AutoUpdate_28.exe", kExe}};

// One row a case, kept as written.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Endings, UpdaterProcedure,
    ::testing::Values(
        UpdaterCase{"no_descriptor", "", {}, {}, true, 0, {}, false, false, 0},
        UpdaterCase{"no_updater_file", "updater_version=2.8\nupdater_length=1000\n", {}, {}, true, 0, {}, true, false, 0},
        // A refused name leaves the descriptor to the data check that follows; the same version
        // is answered first, whatever the name.
        UpdaterCase{"unsafe_name_same_version", UpdaterDescriptor("2.7", "ZT_AutoUpdate(2.7).exe", "1000"), {}, {}, true, 0, kUpdDoneOnly, false, false, 0},
        UpdaterCase{"unsafe_name", UpdaterDescriptor("2.8", "%COMSPEC%.exe", "1000"), {}, {}, true, 0, kUpdDoneOnly, false, false, 0},
        UpdaterCase{"traversal_name", UpdaterDescriptor("2.8", "..\\x.exe", "1000"), {}, {}, true, 0, kUpdDoneOnly, false, false, 0},
        // An updater named like the script would be copied over the executable as the script text.
        UpdaterCase{"script_name", UpdaterDescriptor("2.8", "delete.bat", "1000"), {{"delete.bat", kExe}}, {}, true, 0, kUpdDoneOnly, false, false, 0},
        UpdaterCase{"script_name_upper", UpdaterDescriptor("2.8", "DELETE.BAT", "1000"), {{"DELETE.BAT", kExe}}, {}, true, 0, kUpdDoneOnly, false, false, 0},
        UpdaterCase{"descriptor_name", UpdaterDescriptor("2.8", "VERSION.txt", "1000"), {{"VERSION.txt", kExe}}, {}, true, 0, kUpdDoneOnly, false, false, 0},
        UpdaterCase{"same_version", UpdaterDescriptor("2.7", "ZT_AutoUpdate_28.exe", "1000"), kServedExe, {}, true, 0, kUpdDoneOnly, false, false, 0},
        UpdaterCase{"length_not_number", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "abc"), kServedExe, {}, true, 0, kUpdDoneOnly, false, false, 0},
        UpdaterCase{"not_replaceable", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"), kServedExe, "read-only", true, 0, kUpdDoneOnly, false, false, 0},
        UpdaterCase{"download_fails", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"), {}, {}, true, 0, kUpdFail, false, false, 1},
        UpdaterCase{"not_executable", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "9"), {{"ZT_AutoUpdate_28.exe", "<html>err"}}, {}, true, 0, kUpdFail, false, false, 2},
        UpdaterCase{"script_not_started", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"), kServedExe, {}, false, 0, kUpdFail, false, false, 1},
        UpdaterCase{"older_version_still_installs", UpdaterDescriptor("2.6", "ZT_AutoUpdate_28.exe", "1000"), kServedExe, {}, true, 1, kUpdOk, false, true, 1},
        UpdaterCase{"text_compare_2_70", UpdaterDescriptor("2.70", "ZT_AutoUpdate_28.exe", "1000"), kServedExe, {}, true, 1, kUpdOk, false, true, 1},
        UpdaterCase{"new_version", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"), kServedExe, {}, true, 1, kUpdOk, false, true, 1}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

TEST(UpdaterProcedureScript, FailuresLeaveNoScriptAndPostZero) {
  struct Row {
    const char* label;
    bool unrepresentable;
    bool starts;
  };
  for (const Row& r : {Row{"path not in console code page", true, true}, Row{"process not created", false, false}}) {
    SCOPED_TRACE(r.label);
    UpdaterRun u(std::string("script_") + (r.unrepresentable ? "cp" : "proc"));
    if (r.unrepresentable) u.MoveExe(u.f.dir / "工具" / "ZT_AutoUpdate.exe");
    u.starter.succeed = r.starts;
    u.f.Serve(UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"));
    u.f.dl.bodies = kServedExe;
    WriteAll(u.Script(), "old script");
    EXPECT_EQ(u.Run(), 0);
    EXPECT_EQ(u.f.poster.messages, kUpdFail);
    EXPECT_FALSE(fs::exists(u.Script()));
  }
}

// The executable became read-only while its successor downloaded: no script, the tool keeps running.
TEST(UpdaterProcedureScript, ExecutableThatBecameUnreplaceableDuringTheDownloadIsLeftAlone) {
  UpdaterRun u("became_ro");
  u.f.Serve(UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"));
  u.f.dl.bodies = kServedExe;
  u.check.problem = "read-only";
  u.check.problemFromCall = 2;
  EXPECT_EQ(u.Run(), 0);
  EXPECT_EQ(u.check.calls, 2);
  EXPECT_EQ(u.f.poster.messages, kUpdFail);
  EXPECT_EQ(u.f.dl.calls.size(), 1u);
  EXPECT_TRUE(u.starter.started.empty());
  EXPECT_FALSE(fs::exists(u.Script()));
}

TEST(UpdaterProcedureScript, UnwritableScriptPostsZeroAndStartsNothing) {
  UpdaterRun u("script_dir");
  u.f.Serve(UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"));
  u.f.dl.bodies = kServedExe;
  fs::create_directories(u.Script() / "blocker");  // a folder where the script should go
  EXPECT_EQ(u.Run(), 0);
  EXPECT_EQ(u.f.poster.messages, kUpdFail);
  EXPECT_TRUE(u.starter.started.empty());
}

// Payloads under the hashes of the descriptor: only what matches is installed or placed for the
// script; anything else is deleted and the run ends with a failure notice.
TEST(TrustedPayloads, OnlyMatchingPackagesAndExecutablesAreUsed) {
  const std::string dataHash = zt::HexOf(zt::test::FakeDigest(kExe2));
  const std::string updaterHash = zt::HexOf(zt::test::FakeDigest(kExe));
  const std::string wrongHash(64, '0');
  struct Row {
    const char* label;
    bool keyBuiltIn;
    std::string hash;  // "" = no hash line
    bool used;
  };
  for (const Row& r : {Row{"signed and matching", true, "ok", true}, Row{"signed, other bytes", true, wrongHash, false},
                       Row{"signed without a hash", true, "", false}, Row{"no key, matching", false, "ok", true},
                       Row{"no key, other bytes", false, wrongHash, false}}) {
    SCOPED_TRACE(r.label);
    const zt::PublicKey key = zt::test::FakeKey(5);
    const auto hashLine = [&](const char* name, const std::string& good) {
      return r.hash.empty() ? std::string() : std::string(name) + "=" + (r.hash == "ok" ? good : r.hash) + "\n";
    };
    const auto sign = [&](const std::string& text) { return r.keyBuiltIn ? zt::test::FakeSigned(text, key) : text; };

    Fixture f("trusted_data");
    zt::UpdateTrust trust(r.keyBuiltIn ? std::optional(key) : std::nullopt, f.crypto);
    f.Serve(sign(DataDescriptor("0106", "p.exe", "1000") + hashLine("data_sha256", dataHash)));
    f.desc.dataVersion = "0105";
    WriteAll(f.root / "version.txt", "data_version=0105\n");
    WriteAll(f.root / "data_update.exe", kExe);
    f.dl.bodies = {{"p.exe", kExe2}};
    EXPECT_EQ(zt::RunDataProcedure(f.desc, f.dl, f.poster, trust, f.Paths()), r.used ? 1 : 0);
    EXPECT_EQ(f.poster.messages, r.used ? kDataOk : kDataFail);
    EXPECT_EQ(ReadAll(f.root / "data_update.exe"), r.used ? kExe2 : kExe);
    EXPECT_EQ(fs::exists(f.download / "p.exe"), r.used);
    EXPECT_EQ(f.crypto.holds, 0);

    UpdaterRun u("trusted_updater");
    zt::UpdateTrust utrust(r.keyBuiltIn ? std::optional(key) : std::nullopt, u.f.crypto);
    u.f.Serve(sign(UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000") + hashLine("updater_sha256", updaterHash)));
    u.f.dl.bodies = kServedExe;
    EXPECT_EQ(zt::RunUpdaterProcedure(u.f.desc, u.f.dl, u.f.poster, u.starter, u.check, utrust, u.paths),
              r.used ? 1 : 0);
    EXPECT_EQ(u.f.poster.messages, r.used ? kUpdOk : kUpdFail);
    EXPECT_EQ(u.starter.started.size(), r.used ? 1u : 0u);
    EXPECT_EQ(fs::exists(u.Placed()), r.used);
    EXPECT_EQ(fs::exists(u.f.download / "ZT_AutoUpdate_28.exe"), r.used);
    EXPECT_EQ(u.f.crypto.holds, 0);
  }
}

// A resumed transfer may join two copies of a file: a payload that fails its hash is fetched whole
// once more in the same run, and only once.
TEST(TrustedPayloads, AFailedHashFetchesTheFileOnceMore) {
  const std::string dataHash = zt::HexOf(zt::test::FakeDigest(kExe2));
  const std::string updaterHash = zt::HexOf(zt::test::FakeDigest(kExe));
  const std::string joined = "MZ" + std::string(499, 'x') + std::string(499, 'y');
  struct SequenceDownloader : FakeDownloader {
    std::vector<std::string> answers;  // one body per call
    bool Download(const std::string& name, std::int32_t expected) override {
      bodies[name] = answers.at(std::min(calls.size(), answers.size() - 1));
      return FakeDownloader::Download(name, expected);
    }
  };
  struct Row {
    std::vector<std::string> dataAnswers, updaterAnswers;
    bool used;
  };
  for (const Row& r : {Row{{joined, kExe2}, {joined, kExe}, true}, Row{{joined, joined}, {joined, joined}, false}}) {
    SCOPED_TRACE(r.used);
    Fixture f("refetch_data");
    f.Serve(DataDescriptor("0106", "p.exe", "1000") + "data_sha256=" + dataHash + "\n");
    f.desc.dataVersion = "0105";
    SequenceDownloader dl;
    dl.folder = f.download;
    dl.answers = r.dataAnswers;
    EXPECT_EQ(zt::RunDataProcedure(f.desc, dl, f.poster, f.trust, f.Paths()), r.used ? 1 : 0);
    EXPECT_EQ(dl.calls.size(), 2u);
    EXPECT_EQ(fs::exists(f.root / "data_update.exe"), r.used);
    EXPECT_EQ(f.poster.messages, r.used ? kDataOk : kDataFail);

    UpdaterRun u("refetch_updater");
    u.f.Serve(UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000") + "updater_sha256=" + updaterHash + "\n");
    SequenceDownloader udl;
    udl.folder = u.f.download;
    udl.answers = r.updaterAnswers;
    EXPECT_EQ(zt::RunUpdaterProcedure(u.f.desc, udl, u.f.poster, u.starter, u.check, u.f.trust, u.paths),
              r.used ? 1 : 0);
    EXPECT_EQ(udl.calls.size(), 2u);
    EXPECT_EQ(u.starter.started.size(), r.used ? 1u : 0u);
  }
}

// The installed package is current only when it is what the descriptor describes: a package of the
// right size whose bytes differ, or an installed descriptor from before signing, is replaced.
TEST(TrustedPayloads, InstalledPackageIsCheckedBeforeNothingIsDone) {
  const std::string hash = zt::HexOf(zt::test::FakeDigest(kExe2));
  const std::string served = DataDescriptor("0106", "p.exe", "1000") + "data_sha256=" + hash + "\n";
  struct Row {
    const char* label;
    std::string installedExe, installedDescriptor;
    bool downloads;
  };
  for (const Row& r :
       {Row{"same package, same descriptor", kExe2, served, false}, Row{"same size, other bytes", kExe, served, true},
        Row{"descriptor from before signing", kExe2, DataDescriptor("0106", "p.exe", "1000"), true}}) {
    SCOPED_TRACE(r.label);
    Fixture f("installed_check");
    f.Serve(served);
    f.desc.dataVersion = "0106";
    WriteAll(f.root / "version.txt", r.installedDescriptor);
    WriteAll(f.root / "data_update.exe", r.installedExe);
    f.dl.bodies = {{"p.exe", kExe2}};
    zt::RunDataProcedure(f.desc, f.dl, f.poster, f.trust, f.Paths());
    EXPECT_EQ(f.dl.calls.size(), r.downloads ? 1u : 0u);
    EXPECT_EQ(ReadAll(f.root / "data_update.exe"), kExe2);
  }
}

// Whatever happens between the announcement and the end of a download, the window hears one
// "done": a worker that threw would otherwise leave it busy for the life of the process.
TEST(DoneNotices, FollowEveryAnnouncementAlsoWhenAStepThrows) {
  struct ThrowingDownloader : zt::Downloader {
    bool Download(const std::string&, std::int32_t) override { throw std::runtime_error("disk gone"); }
  } dl;
  Fixture f("throws");
  f.Serve(DataDescriptor("0106", "p.exe", "1000") + UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"));
  f.desc.dataVersion = "0105";
  EXPECT_THROW(zt::RunDataProcedure(f.desc, dl, f.poster, f.trust, f.Paths()), std::runtime_error);
  EXPECT_EQ(f.poster.messages, kDataFail);
  UpdaterRun u("throws_updater");
  u.f.Serve(UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"));
  EXPECT_THROW(zt::RunUpdaterProcedure(u.f.desc, dl, u.f.poster, u.starter, u.check, u.f.trust, u.paths),
               std::runtime_error);
  EXPECT_EQ(u.f.poster.messages, kUpdFail);
}

// What the script must hold whatever the path; that it works is shown by running it under Wine.
TEST(ReplacementScript, QuotedPathsNormalPriorityAndSelfRemoval) {
  for (const std::string& exe : {std::string("C:\\Program Files\\ZT Tool\\ZT_AutoUpdate.exe"),
                                 std::string("C:\\a b%c^d&e!f(g\\ZT_AutoUpdate.exe")}) {
    SCOPED_TRACE(exe);
    const std::string script = zt::BuildReplacementScript(exe, "C:\\ZT_Update\\Download\\delete.bat");
    std::string batch = exe;  // as cmd must read it: % doubled
    for (std::size_t at = batch.find('%'); at != std::string::npos; at = batch.find('%', at + 2)) batch.insert(at, "%");
    // Every use of the path, the new and old copies included, is in quotation marks.
    std::size_t uses = 0;
    for (std::size_t at = script.find(batch); at != std::string::npos; at = script.find(batch, at + 1), ++uses)
      EXPECT_EQ(script[at - 1], '"') << script.substr(at - 1, batch.size() + 8);
    EXPECT_GE(uses, 8u);
    EXPECT_NE(script.find("start \"new\" /normal \"" + batch + "\" /autohide /replaced\r\n"), std::string::npos)
        << script;
    EXPECT_TRUE(script.ends_with("del \"C:\\ZT_Update\\Download\\delete.bat\"\r\n")) << script;
  }
}

TEST(ReplaceabilityCheck, FolderAndReadOnlyDecision) {
  const fs::path dir = fs::temp_directory_path() / "zt_replaceable_check";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path exe = dir / "tool.exe";
  WriteAll(exe, kExe);
  zt::FolderReplaceabilityCheck check;
  EXPECT_FALSE(check.Problem(exe).has_value());
  EXPECT_TRUE(check.Problem(dir / "missing.exe").has_value());
  fs::permissions(exe, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const auto readOnly = check.Problem(exe);
  ASSERT_TRUE(readOnly.has_value());
  EXPECT_NE(readOnly->find("read-only"), std::string::npos);
  fs::permissions(exe, fs::perms::owner_write, fs::perm_options::add);
  // Nothing of the probe is left behind.
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir)) (void)e, ++files;
  EXPECT_EQ(files, 1);
  fs::remove_all(dir);
}

TEST(ExecutableImage, OnlyMzHeaders) {
  const fs::path dir = fs::temp_directory_path() / "zt_mz_check";
  fs::create_directories(dir);
  struct Row {
    std::string bytes;
    bool exe;
  };
  for (const Row& r : {Row{"MZ\x90", true}, Row{"MZ", true}, Row{"M", false}, Row{"", false}, Row{"mz..", false},
                       Row{"<html>", false}}) {
    WriteAll(dir / "f", r.bytes);
    EXPECT_EQ(zt::LooksLikeExecutable(dir / "f"), r.exe) << r.bytes;
  }
  EXPECT_FALSE(zt::LooksLikeExecutable(dir / "missing"));
  fs::remove_all(dir);
}

// Two data procedures on the same package at once: the installed program is one whole copy.
TEST(DataProcedureConcurrency, TwoRunsInstallOneWholeCopy) {
  Fixture f("two_runs");
  f.Serve(DataDescriptor("0106", "p.exe", "300000"));
  struct StreamingDownloader : zt::Downloader {
    fs::path folder;
    std::atomic<int> n{0};
    bool Download(const std::string& name, std::int32_t expected) override {
      // Each run gets a body of its own bytes through the real transfer loop.
      struct Src : zt::HttpSource {
        char fill;
        std::uint64_t left;
        zt::HttpAnswer Open(const zt::HttpGet&) override {
          zt::HttpAnswer a;
          a.ok = true;
          a.status = 200;
          a.announced = left;
          return a;
        }
        zt::HttpRead Read(char* b, std::size_t size) override {
          const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>({size, 700, left}));
          std::fill(b, b + k, fill);
          if (k > 0) b[0] = (left == 300000) ? 'M' : fill;
          if (k > 1 && left == 300000) b[1] = 'Z';
          left -= k;
          std::this_thread::yield();
          return {true, k, ""};
        }
      } src;
      src.fill = static_cast<char>('a' + n++);
      src.left = 300000;
      zt::TransferRequest req;
      req.name = name;
      req.expectedLength = expected;
      req.folder = folder;
      return zt::RunTransfer(src, req).stored;
    }
  } dl;
  dl.folder = f.download;
  FakeNotices p1, p2;
  int r1 = -1, r2 = -1;
  std::thread t1([&] { r1 = zt::RunDataProcedure(f.desc, dl, p1, f.trust, f.Paths()); });
  std::thread t2([&] { r2 = zt::RunDataProcedure(f.desc, dl, p2, f.trust, f.Paths()); });
  t1.join();
  t2.join();
  EXPECT_EQ(r1, 1);
  EXPECT_EQ(r2, 1);
  const std::string installed = ReadAll(f.root / "data_update.exe");
  ASSERT_EQ(installed.size(), 300000u);
  EXPECT_EQ(installed.substr(0, 2), "MZ");
  const char fill = installed[2];
  EXPECT_TRUE(fill == 'a' || fill == 'b');
  EXPECT_EQ(installed.find_first_not_of(fill, 2), std::string::npos) << "the installed program mixes two downloads";
  EXPECT_EQ(ReadAll(f.root / "version.txt"), f.desc.server);
}

}  // namespace
