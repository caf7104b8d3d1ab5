#include "update/install/procedures.h"

#include <gtest/gtest.h>

#include "tests/unit/fake_crypto.h"
#include "tests/unit/file_helpers.h"
#include "tests/unit/pe_builder.h"
#include "update/trust/pe_image.h"
#include "update/install/self_update.h"

#include <fstream>
#include <map>
#include <set>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/fsutil.h"
#include "base/descriptor.h"
#include "base/ids.h"
#include "update/net/transfer.h"

namespace {

namespace fs = std::filesystem;
using Msg = std::pair<unsigned, std::uintptr_t>;

using zt::test::ReadAll;
using zt::test::WriteAll;

// Serves bodies from a map, into the download folder.
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

// The machine-wide lock: held by another session, or a folder that became a link before the install.
struct FakeShared : zt::SharedFolder {
  bool heldElsewhere = false;
  std::optional<std::string> writeProblem;
  int locked = 0;  // guards alive now
  std::shared_ptr<void> Lock(std::string& reason) override {
    if (heldElsewhere) {
      reason = "another session's tool is working on it";
      return nullptr;
    }
    ++locked;
    return std::shared_ptr<int>(new int(0), [this](int* p) {
      delete p;
      --locked;
    });
  }
  std::optional<std::string> WriteProblem() override { return writeProblem; }
};

struct FakeUser : zt::UserState {
  std::map<std::string, std::uint64_t> floors;
  std::string newest;
  std::set<std::string> failed;
  std::uint32_t bucket = 0;
  std::uint64_t SequenceFloor(std::string_view id) override { return floors[std::string(id)]; }
  void RaiseSequenceFloor(std::string_view id, std::uint64_t seq) override { floors[std::string(id)] = seq; }
  std::string NewestKey() override { return newest; }
  void SetNewestKey(std::string_view id) override { newest = id; }
  bool UpdaterVersionFailed(std::string_view v) override { return failed.count(std::string(v)) > 0; }
  void RememberFailedUpdaterVersion(std::string_view v) override { failed.insert(std::string(v)); }
  std::uint32_t RolloutBucket() override { return bucket; }
};

const std::string kExe = "MZ" + std::string(998, 'x');  // 1000 bytes, an executable image
const std::string kExe2 = "MZ" + std::string(998, 'y');

struct Fixture {
  fs::path dir, root, download;
  zt::DescriptorState desc;
  FakeDownloader dl;
  FakeNotices poster;
  FakeShared shared;
  FakeUser user;
  zt::test::FakeCrypto crypto;
  zt::UpdateTrust trust{{}, crypto};
  explicit Fixture(const std::string& tag) {
    dir = fs::temp_directory_path() /
          ("zt_proc_" + tag + "_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::remove_all(dir);
    root = dir / "ZT_Update";
    download = root / "Download";
    fs::create_directories(download);
    dl.folder = download;
  }
  ~Fixture() { fs::remove_all(dir); }
  zt::DataPaths Paths() const { return {root, download, {}}; }
  zt::UpdateContext Context(zt::Downloader* d = nullptr, zt::UpdateTrust* t = nullptr, zt::WorkerNotices* n = nullptr) {
    return {desc,
            d ? *d : dl,
            n ? *n : poster,
            t ? *t : trust,
            shared,
            user,
            [](std::string_view v) { return std::string(v); }};
  }
  int RunData(const zt::DataPaths& paths) {
    zt::UpdateContext c = Context();
    return zt::RunDataProcedure(c, paths);
  }
  int RunData() { return RunData(Paths()); }
  // The descriptor as fetched: its text is the server text and its file is Download/version.txt.
  void Serve(const std::string& text) {
    desc.SetServerText(text);
    WriteAll(download / "version.txt", text);
  }
  // The installed descriptor, loaded as start-up loads it.
  void Install(const std::string& descriptor) {
    WriteAll(root / "version.txt", descriptor);
    desc.LoadLocalVersion(root);
  }
  std::string Server() const { return desc.ServerText(); }
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
  f.Install("data_version=" + c.installedVersion + "\n");
  if (!c.installedExe.empty()) WriteAll(f.root / "data_update.exe", c.installedExe);
  f.dl.bodies = c.served;

  EXPECT_EQ(f.RunData(), c.exitCode);
  EXPECT_EQ(f.poster.messages, c.messages);
  EXPECT_EQ(f.Server().empty(), c.descriptor.empty() || c.serverTextCleared);
  EXPECT_EQ(static_cast<int>(f.dl.calls.size()), c.downloads);
  if (c.exeAfter.empty())
    EXPECT_FALSE(fs::exists(f.root / "data_update.exe"));
  else
    EXPECT_EQ(ReadAll(f.root / "data_update.exe"), c.exeAfter);
  EXPECT_EQ(f.shared.locked, 0);  // never kept beyond the run
  if (c.exitCode == 1) {
    EXPECT_EQ(ReadAll(f.root / "version.txt"), c.descriptor);
    EXPECT_EQ(f.desc.DataVersion(), zt::GetKeyValue(c.descriptor, "data_version"));  // reloaded
    // A second run right after finds nothing to do, except when no length was given: then the
    // installed program never has the "expected" size 0 and is fetched again.
    f.poster.messages.clear();
    const bool unsized = std::string(c.label) == "length_not_number";
    EXPECT_EQ(f.RunData(), unsized ? 1 : 0);
    EXPECT_EQ(f.poster.messages, unsized ? kDataOk : std::vector<Msg>{});
  } else {
    EXPECT_EQ(f.desc.DataVersion(), c.installedVersion);
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
  f.Install("data_version=0105\n");
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
  EXPECT_EQ(f.RunData(paths), 0);
  EXPECT_EQ(f.poster.messages, kDataFail);
  EXPECT_EQ(f.desc.DataVersion(), "0105");
  EXPECT_EQ(ReadAll(f.root / "version.txt"), "data_version=0105\n");
  for (const auto& e : fs::directory_iterator(f.root))
    EXPECT_FALSE(e.path().filename().string().ends_with(".ztpart")) << e.path();
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
    f.Install("data_version=0105\n");
    WriteAll(f.root / "data_update.exe", kExe);
    dl.folder = f.download;
    dl.bodies = {{"p.exe", kExe2}};
    dl.meanwhile = meanwhile;
    zt::UpdateContext c = f.Context(&dl);
    EXPECT_EQ(zt::RunDataProcedure(c, f.Paths()), 1);
    EXPECT_EQ(f.poster.messages, kDataOk);
    EXPECT_EQ(ReadAll(f.root / "data_update.exe"), kExe2);
    EXPECT_EQ(ReadAll(f.root / "version.txt"), served);
  }
}

// ---- data: the shared folder and staged offers ----

// Another session's tool holds the update folder: nothing is announced or fetched. A folder that
// became a link while the package downloaded: nothing is installed through it.
TEST(DataProcedureSharedFolder, HeldLockAndLinkedFolder) {
  struct Row {
    const char* label;
    bool heldElsewhere;
    std::optional<std::string> writeProblem;
    std::vector<Msg> messages;
    std::size_t downloads;
  };
  for (const Row& r : {Row{"held by another session", true, {}, {}, 0},
                       Row{"a folder became a link", false, "Download is a link", kDataFail, 1}}) {
    SCOPED_TRACE(r.label);
    Fixture f("shared");
    f.Serve(DataDescriptor("0106", "p.exe", "1000"));
    f.Install("data_version=0105\n");
    WriteAll(f.root / "data_update.exe", kExe);
    f.dl.bodies = {{"p.exe", kExe2}};
    f.shared.heldElsewhere = r.heldElsewhere;
    f.shared.writeProblem = r.writeProblem;
    EXPECT_EQ(f.RunData(), 0);
    EXPECT_EQ(f.poster.messages, r.messages);
    EXPECT_EQ(f.dl.calls.size(), r.downloads);
    EXPECT_EQ(ReadAll(f.root / "data_update.exe"), kExe);
    EXPECT_EQ(f.shared.locked, 0);
  }
}

TEST(Rollout, ShareOfInstallations) {
  struct Row {
    const char* value;
    std::uint32_t bucket;
    bool offered;
  };
  for (const Row& r :
       {Row{"", 99, true}, Row{"40", 42, false}, Row{"43", 42, true}, Row{"0", 0, false}, Row{"100", 99, true},
        Row{"101", 0, false}, Row{"-5", 0, false}, Row{"abc", 0, false}, Row{"5 ", 0, false}})
    EXPECT_EQ(zt::InRollout(r.value, r.bucket), r.offered) << r.value << " " << r.bucket;
}

// Outside the share the installed data stays as if nothing new were offered; a repair of the same
// version and a first installation do not wait for their share, but nothing installs a halted offer
// (a deleted version.txt must not turn a halt into a first installation).
TEST(Rollout, DataOutsideTheShareKeepsWhatIsInstalled) {
  struct Row {
    const char* label;
    const char* share;
    std::string installedVersion;  // "" = no data installed
    std::string installedExe;
    std::uint32_t bucket;
    bool downloads;
  };
  for (const Row& r :
       {Row{"outside", "40", "0105", kExe, 42, false}, Row{"inside", "40", "0105", kExe, 39, true},
        Row{"first installation", "40", "", "", 42, true},
        Row{"repair of the same version", "40", "0106", "", 42, true},
        Row{"halted, first installation", "0", "", "", 0, false}, Row{"halted, repair", "0", "0106", "", 0, false}}) {
    SCOPED_TRACE(r.label);
    Fixture f("rollout");
    f.Serve(DataDescriptor("0106", "p.exe", "1000") + "data_rollout=" + r.share + "\n");
    if (!r.installedVersion.empty()) f.Install("data_version=" + r.installedVersion + "\n");
    if (!r.installedExe.empty()) WriteAll(f.root / "data_update.exe", r.installedExe);
    f.dl.bodies = {{"p.exe", kExe2}};
    f.user.bucket = r.bucket;
    EXPECT_EQ(f.RunData(), r.downloads ? 1 : 0);
    EXPECT_EQ(f.poster.messages, r.downloads ? kDataOk : std::vector<Msg>{});
    EXPECT_EQ(f.desc.DataVersion(), r.downloads ? "0106" : r.installedVersion);
  }
}

// ---- self-update ----

// The main thread's side as the worker sees it: it is handed the placed copy (and then starts it).
struct FakeSwap : zt::ExecutableSwap {
  std::vector<std::string> ready;
  void Ready(std::string version, const fs::path&, zt::HeldFile) override { ready.push_back(std::move(version)); }
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

const std::string kRunning = zt::test::MakeImage(zt::kMachineX64, std::pair(2u, 7u), 1000);
const std::string kNew28 = zt::test::MakeImage(zt::kMachineX64, std::pair(2u, 8u), 1000);

struct UpdaterRun {
  Fixture f;
  FakeSwap swap;
  FakeCheck check;
  zt::UpdaterPaths paths;
  explicit UpdaterRun(const std::string& tag) : f(tag) {
    paths.exe = f.dir / "ZT Tool" / "ZT_AutoUpdate.exe";
    fs::create_directories(paths.exe.parent_path());
    WriteAll(paths.exe, kRunning);
    paths.downloadFolder = f.download;
    paths.appVersion = "2.7";
    paths.machine = zt::kMachineX64;
  }
  int Run(zt::Downloader* d = nullptr, zt::UpdateTrust* t = nullptr) {
    zt::UpdateContext c = f.Context(d, t);
    return zt::RunUpdaterProcedure(c, swap, check, paths);
  }
  fs::path Placed() const { return zt::NewExecutablePath(paths.exe); }
  fs::path Old() const { return zt::OldExecutablePath(paths.exe); }
};

// The executable for the processor of the tool under test (x64): the updater keys with "_x64".
std::string UpdaterDescriptor(const std::string& version, const std::string& file, const std::string& length,
                              const std::string& suffix = "_x64") {
  return "updater_version" + suffix + "=" + version + "\nupdater_file" + suffix + "=" + file + "\nupdater_length" +
         suffix + "=" + length + "\n";
}

std::string Image(unsigned major, unsigned minor, std::uint16_t machine = zt::kMachineX64) {
  return zt::test::MakeImage(machine, std::pair(major, minor), 1000);
}

struct UpdaterCase {
  const char* label;
  std::string descriptor;
  std::map<std::string, std::string> served;
  std::optional<std::string> checkProblem;
  bool placeBlocked;  // a folder stands where the new copy goes
  int exitCode;
  std::vector<Msg> messages;
  bool serverTextCleared;
  std::string placedAfter;  // the copy beside the executable, handed on ("" = none)
  int downloads;
  bool failedAfter;  // the version is remembered as failed
};

class UpdaterProcedure : public ::testing::TestWithParam<UpdaterCase> {};

TEST_P(UpdaterProcedure, EndsAsDescribed) {
  const UpdaterCase& c = GetParam();
  UpdaterRun u(c.label);
  u.f.Serve(c.descriptor);
  u.f.dl.bodies = c.served;
  u.check.problem = c.checkProblem;
  if (c.placeBlocked) fs::create_directories(u.Placed() / "x");

  EXPECT_EQ(u.Run(), c.exitCode);
  EXPECT_EQ(u.f.poster.messages, c.messages);
  EXPECT_EQ(u.f.Server().empty(), c.descriptor.empty() || c.serverTextCleared);
  EXPECT_EQ(static_cast<int>(u.f.dl.calls.size()), c.downloads);
  // The executable is never touched by the worker: the new copy waits beside it, handed on to the
  // main thread, or nothing is left.
  EXPECT_EQ(ReadAll(u.paths.exe), kRunning);
  EXPECT_EQ(fs::is_regular_file(u.Placed()), !c.placedAfter.empty());
  if (!c.placedAfter.empty()) {
    EXPECT_EQ(ReadAll(u.Placed()), c.placedAfter);
  }
  EXPECT_EQ(u.swap.ready.size(), c.exitCode == 1 ? 1u : 0u);
  EXPECT_FALSE(fs::exists(u.Old()));
  EXPECT_EQ(!u.f.user.failed.empty(), c.failedAfter);
  EXPECT_EQ(u.f.shared.locked, 0);
}

const std::vector<Msg> kUpdOk = {{zt::WM_UPDATER_DOWNLOADING, 0}, {zt::WM_UPDATER_DONE, 1}};
const std::vector<Msg> kUpdFail = {{zt::WM_UPDATER_DOWNLOADING, 0}, {zt::WM_UPDATER_DONE, 0}};
const std::vector<Msg> kUpdDoneOnly = {{zt::WM_UPDATER_DONE, 0}};
const std::map<std::string, std::string> kServed28 = {{"ZT_AutoUpdate_28.exe", kNew28}};

// One row a case, kept as written.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Endings, UpdaterProcedure,
    ::testing::Values(
        UpdaterCase{"no_descriptor", "", {}, {}, false, 0, {}, false, "", 0, false},
        // Incomplete for this processor: the descriptor stays for the data check.
        UpdaterCase{"no_updater_file", "updater_version_x64=2.8\nupdater_length_x64=1000\n", {}, {}, false, 0, kUpdDoneOnly, false, "", 0, false},
        // An x64 tool reads only its own keys: the x86 executable of the plain keys is not for it.
        UpdaterCase{"x86_keys_only", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000", ""), kServed28, {}, false, 0, kUpdDoneOnly, false, "", 0, false},
        // A refused name leaves the descriptor to the data check that follows; the same version
        // is answered first, whatever the name.
        UpdaterCase{"unsafe_name_same_version", UpdaterDescriptor("2.7", "ZT_AutoUpdate(2.7).exe", "1000"), {}, {}, false, 0, kUpdDoneOnly, false, "", 0, false},
        UpdaterCase{"unsafe_name", UpdaterDescriptor("2.8", "%COMSPEC%.exe", "1000"), {}, {}, false, 0, kUpdDoneOnly, false, "", 0, false},
        UpdaterCase{"traversal_name", UpdaterDescriptor("2.8", "..\\x.exe", "1000"), {}, {}, false, 0, kUpdDoneOnly, false, "", 0, false},
        // Names that earlier versions use for their own files.
        UpdaterCase{"script_name", UpdaterDescriptor("2.8", "DELETE.BAT", "1000"), {{"DELETE.BAT", kNew28}}, {}, false, 0, kUpdDoneOnly, false, "", 0, false},
        UpdaterCase{"descriptor_name", UpdaterDescriptor("2.8", "VERSION.txt", "1000"), {{"VERSION.txt", kNew28}}, {}, false, 0, kUpdDoneOnly, false, "", 0, false},
        UpdaterCase{"same_version", UpdaterDescriptor("2.7", "ZT_AutoUpdate_28.exe", "1000"), kServed28, {}, false, 0, kUpdDoneOnly, false, "", 0, false},
        UpdaterCase{"length_not_number", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "abc"), kServed28, {}, false, 0, kUpdDoneOnly, false, "", 0, false},
        UpdaterCase{"not_replaceable", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"), kServed28, "read-only", false, 0, kUpdDoneOnly, false, "", 0, false},
        UpdaterCase{"download_fails", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"), {}, {}, false, 0, kUpdFail, false, "", 1, false},
        UpdaterCase{"not_executable", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "9"), {{"ZT_AutoUpdate_28.exe", "<html>err"}}, {}, false, 0, kUpdFail, false, "", 2, false},
        UpdaterCase{"place_fails", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"), kServed28, {}, true, 0, kUpdFail, false, "", 1, false},
        // What the image says of itself must be what the descriptor offers, for this processor;
        // otherwise it is never fetched again.
        UpdaterCase{"version_resource_differs", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"), {{"ZT_AutoUpdate_28.exe", Image(2, 7)}}, {}, false, 0, kUpdFail, false, "", 1, true},
        // A build for the other processor is a publication's mix-up: refused, and fetched again
        // once the publication is mended.
        UpdaterCase{"other_processor", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"), {{"ZT_AutoUpdate_28.exe", Image(2, 8, zt::kMachineX86)}}, {}, false, 0, kUpdFail, false, "", 1, false},
        UpdaterCase{"no_version_resource", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"), {{"ZT_AutoUpdate_28.exe", zt::test::MakeImage(zt::kMachineX64, std::nullopt, 1000)}}, {}, false, 0, kUpdFail, false, "", 1, true},
        // A lower version is never fetched: an old signed publication replayed cannot downgrade.
        UpdaterCase{"lower_version", UpdaterDescriptor("2.6", "ZT_AutoUpdate_28.exe", "1000"), {{"ZT_AutoUpdate_28.exe", Image(2, 6)}}, {}, false, 0, kUpdDoneOnly, false, "", 0, false},
        UpdaterCase{"text_compare_2_70", UpdaterDescriptor("2.70", "ZT_AutoUpdate_28.exe", "1000"), {{"ZT_AutoUpdate_28.exe", Image(2, 70)}}, {}, false, 1, kUpdOk, false, Image(2, 70), 1, false},
        UpdaterCase{"new_version", UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"), kServed28, {}, false, 1, kUpdOk, false, kNew28, 1, false}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

// A version that failed here is never fetched again and one outside the rollout share waits;
// another session's tool holding the shared folder does not stop it (it is fetched into this
// user's own folder); another version is fetched.
TEST(UpdaterProcedureOffer, FailedRolloutAndLockedOffersFetchNothing) {
  struct Row {
    const char* label;
    std::string extra;  // descriptor lines
    bool failedBefore, heldElsewhere;
    std::uint32_t bucket;
    int exitCode;
  };
  for (const Row& r : {Row{"failed before", "", true, false, 0, 0},
                       Row{"outside the share", "updater_rollout_x64=5\n", false, false, 5, 0},
                       Row{"inside the share", "updater_rollout_x64=5\n", false, false, 4, 1},
                       Row{"locked elsewhere", "", false, true, 0, 1}}) {
    SCOPED_TRACE(r.label);
    UpdaterRun u("offer");
    u.f.Serve(UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000") + r.extra);
    u.f.shared.heldElsewhere = r.heldElsewhere;
    u.f.dl.bodies = kServed28;
    if (r.failedBefore) u.f.user.failed.insert("2.8");
    u.f.user.bucket = r.bucket;
    u.f.shared.heldElsewhere = r.heldElsewhere;
    EXPECT_EQ(u.Run(), r.exitCode);
    EXPECT_EQ(u.f.dl.calls.size(), r.exitCode == 1 ? 1u : 0u);
    EXPECT_EQ(u.f.poster.messages, r.exitCode == 1 ? kUpdOk : kUpdDoneOnly);
  }
  // An x86 tool reads the plain keys, which tools of the earlier kind read too.
  UpdaterRun x86("offer_x86");
  x86.paths.machine = zt::kMachineX86;
  WriteAll(x86.paths.exe, Image(2, 7, zt::kMachineX86));
  x86.f.Serve(UpdaterDescriptor("2.8", "x86.exe", "1000", "") + UpdaterDescriptor("2.8", "x64.exe", "1000"));
  x86.f.dl.bodies = {{"x86.exe", Image(2, 8, zt::kMachineX86)}, {"x64.exe", kNew28}};
  EXPECT_EQ(x86.Run(), 1);
  EXPECT_EQ(x86.f.dl.calls, (std::vector<std::pair<std::string, std::int32_t>>{{"x86.exe", 1000}}));

  UpdaterRun u("offer_higher");
  u.f.user.failed.insert("2.8");
  u.f.Serve(UpdaterDescriptor("2.9", "ZT_AutoUpdate_29.exe", "1000"));
  u.f.dl.bodies = {{"ZT_AutoUpdate_29.exe", Image(2, 9)}};
  EXPECT_EQ(u.Run(), 1);
}

// The executable became read-only while its successor downloaded: nothing moves, the tool keeps running.
TEST(UpdaterProcedureOffer, ExecutableThatBecameUnreplaceableDuringTheDownloadIsLeftAlone) {
  UpdaterRun u("became_ro");
  u.f.Serve(UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"));
  u.f.dl.bodies = kServed28;
  u.check.problem = "read-only";
  u.check.problemFromCall = 2;
  EXPECT_EQ(u.Run(), 0);
  EXPECT_EQ(u.check.calls, 2);
  EXPECT_EQ(u.f.poster.messages, kUpdFail);
  EXPECT_EQ(u.f.dl.calls.size(), 1u);
  EXPECT_TRUE(u.swap.ready.empty());
  EXPECT_EQ(ReadAll(u.paths.exe), kRunning);
}

// The previous version's side, against real files: a confirmation keeps the new version, which
// moves itself over the executable later; anything else ends it, remembers the version, removes its
// copy and starts the old one again. The executable's path is never renamed or emptied here.
TEST(FinishReplacement, ExecutableKeepsThePreviousVersionUntilTheNewOneTakesItsPlace) {
  struct FakeStart : zt::ReplacementStart {
    fs::path exe;
    zt::StartOutcome outcome;
    bool removes = true;
    std::vector<std::string> calls;
    zt::StartOutcome StartNew(std::chrono::milliseconds wait, std::string& detail) override {
      calls.push_back("start new, wait " + std::to_string(wait.count()));
      detail = "exit status 3";
      return outcome;
    }
    void EndNew() override { calls.push_back("end new"); }
    bool RemoveNew(std::string& reason) override {
      calls.push_back("remove new");
      reason = "in use";
      if (removes) fs::remove(zt::NewExecutablePath(exe));
      return removes;
    }
    bool StartOld(const fs::path& file, std::string&) override {
      calls.push_back("start " + file.filename().string() + " holding " + ReadAll(file));
      return true;
    }
  };
  using O = zt::StartOutcome;
  const std::vector<std::string> back = {"start new, wait 30000", "end new", "remove new",
                                         "start tool.exe holding old"};
  struct Row {
    O outcome;
    bool removes;
    std::vector<std::string> calls;
  };
  for (const Row& r :
       {Row{O::Confirmed, true, {"start new, wait 30000"}}, Row{O::Ended, true, back}, Row{O::Unfit, true, back},
        Row{O::NotConfirmed, true, back}, Row{O::CouldNotStart, true, back}, Row{O::NotConfirmed, false, back}}) {
    SCOPED_TRACE(static_cast<int>(r.outcome));
    Fixture f("finish");
    FakeStart start;
    start.exe = f.dir / "tool.exe";
    WriteAll(start.exe, "old");
    WriteAll(zt::NewExecutablePath(start.exe), "new");
    start.outcome = r.outcome;
    start.removes = r.removes;
    const bool kept = zt::FinishReplacement(start, f.user, start.exe, "2.8") == O::Confirmed;
    EXPECT_EQ(kept, r.outcome == O::Confirmed);
    EXPECT_EQ(start.calls, r.calls);
    EXPECT_EQ(f.user.failed.count("2.8"), kept ? 0u : 1u);
    EXPECT_EQ(ReadAll(start.exe), "old");
    EXPECT_EQ(fs::exists(zt::NewExecutablePath(start.exe)), kept || !r.removes);
    EXPECT_FALSE(fs::exists(zt::OldExecutablePath(start.exe)));
  }
}

// Payloads under the hashes of the descriptor: only what matches is installed or swapped in;
// anything else is deleted and the run ends with a failure notice.
TEST(TrustedPayloads, OnlyMatchingPackagesAndExecutablesAreUsed) {
  const std::string dataHash = zt::HexOf(zt::test::FakeDigest(kExe2));
  const std::string updaterHash = zt::HexOf(zt::test::FakeDigest(kNew28));
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

    const std::vector<zt::PublicKey> keys = r.keyBuiltIn ? std::vector{key} : std::vector<zt::PublicKey>{};
    Fixture f("trusted_data");
    zt::UpdateTrust trust(keys, f.crypto);
    f.Serve(sign(DataDescriptor("0106", "p.exe", "1000") + hashLine("data_sha256", dataHash)));
    f.Install("data_version=0105\n");
    WriteAll(f.root / "data_update.exe", kExe);
    f.dl.bodies = {{"p.exe", kExe2}};
    zt::UpdateContext c = f.Context(nullptr, &trust);
    EXPECT_EQ(zt::RunDataProcedure(c, f.Paths()), r.used ? 1 : 0);
    EXPECT_EQ(f.poster.messages, r.used ? kDataOk : kDataFail);
    EXPECT_EQ(ReadAll(f.root / "data_update.exe"), r.used ? kExe2 : kExe);
    EXPECT_EQ(fs::exists(f.download / "p.exe"), r.used);
    EXPECT_EQ(f.crypto.holds, 0);

    UpdaterRun u("trusted_updater");
    zt::UpdateTrust utrust(keys, u.f.crypto);
    u.f.Serve(
        sign(UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000") + hashLine("updater_sha256_x64", updaterHash)));
    u.f.dl.bodies = kServed28;
    EXPECT_EQ(u.Run(nullptr, &utrust), r.used ? 1 : 0);
    EXPECT_EQ(u.f.poster.messages, r.used ? kUpdOk : kUpdFail);
    EXPECT_EQ(u.swap.ready.size(), r.used ? 1u : 0u);
    EXPECT_EQ(ReadAll(u.paths.exe), kRunning);
    EXPECT_EQ(fs::exists(u.Placed()), r.used);
    EXPECT_EQ(fs::exists(u.f.download / "ZT_AutoUpdate_28.exe"), r.used);
    EXPECT_EQ(u.f.crypto.holds, 0);
  }
}

// A resumed transfer may join two copies of a file: a payload that fails its hash is fetched whole
// once more in the same run, and only once.
TEST(TrustedPayloads, AFailedHashFetchesTheFileOnceMore) {
  const std::string dataHash = zt::HexOf(zt::test::FakeDigest(kExe2));
  const std::string updaterHash = zt::HexOf(zt::test::FakeDigest(kNew28));
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
  for (const Row& r : {Row{{joined, kExe2}, {joined, kNew28}, true}, Row{{joined, joined}, {joined, joined}, false}}) {
    SCOPED_TRACE(r.used);
    Fixture f("refetch_data");
    f.Serve(DataDescriptor("0106", "p.exe", "1000") + "data_sha256=" + dataHash + "\n");
    f.Install("data_version=0105\n");
    SequenceDownloader dl;
    dl.folder = f.download;
    dl.answers = r.dataAnswers;
    zt::UpdateContext c = f.Context(&dl);
    EXPECT_EQ(zt::RunDataProcedure(c, f.Paths()), r.used ? 1 : 0);
    EXPECT_EQ(dl.calls.size(), 2u);
    EXPECT_EQ(fs::exists(f.root / "data_update.exe"), r.used);
    EXPECT_EQ(f.poster.messages, r.used ? kDataOk : kDataFail);

    UpdaterRun u("refetch_updater");
    u.f.Serve(UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000") + "updater_sha256_x64=" + updaterHash + "\n");
    SequenceDownloader udl;
    udl.folder = u.f.download;
    udl.answers = r.updaterAnswers;
    EXPECT_EQ(u.Run(&udl), r.used ? 1 : 0);
    EXPECT_EQ(udl.calls.size(), 2u);
    EXPECT_EQ(u.swap.ready.size(), r.used ? 1u : 0u);
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
    f.Install(r.installedDescriptor);
    WriteAll(f.root / "data_update.exe", r.installedExe);
    f.dl.bodies = {{"p.exe", kExe2}};
    f.RunData();
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
  f.Install("data_version=0105\n");
  zt::UpdateContext c = f.Context(&dl);
  EXPECT_THROW(zt::RunDataProcedure(c, f.Paths()), std::runtime_error);
  EXPECT_EQ(f.poster.messages, kDataFail);
  EXPECT_EQ(f.shared.locked, 0);
  UpdaterRun u("throws_updater");
  u.f.Serve(UpdaterDescriptor("2.8", "ZT_AutoUpdate_28.exe", "1000"));
  EXPECT_THROW(u.Run(&dl), std::runtime_error);
  EXPECT_EQ(u.f.poster.messages, kUpdFail);
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
  zt::UpdateContext c1 = f.Context(&dl, nullptr, &p1), c2 = f.Context(&dl, nullptr, &p2);
  std::thread t1([&] { r1 = zt::RunDataProcedure(c1, f.Paths()); });
  std::thread t2([&] { r2 = zt::RunDataProcedure(c2, f.Paths()); });
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
  EXPECT_EQ(ReadAll(f.root / "version.txt"), f.Server());
}

}  // namespace
