// The two procedures under Wine with real transfers from the loopback server, and the
// replacement script run by the real command interpreter.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/ids.h"
#include "base/log.h"
#include "base/descriptor.h"
#include "update/trust/crypto_win.h"
#include "update/install/descriptor_fetch.h"
#include "update/net/downloads_win.h"
#include "update/trust/user_state_win.h"
#include "win/text.h"
#include "update/trust/pe_image.h"
#include "update/install/procedures.h"
#include "update/install/hand_over.h"
#include "update/install/replaced_start_win.h"
#include "update/install/self_update_win.h"
#include "update/install/temp_file_win.h"
#include "update_win_support.h"
#include "win/handles.h"
#include "win/text.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Msg = std::pair<unsigned, std::uintptr_t>;
using zt_test::ReadAll;
using zt_test::WriteAll;

// The shared folder and this user's state as a test without another session has them.
struct OpenFolder : zt::SharedFolder {
  std::shared_ptr<void> Lock(std::string&) override { return std::make_shared<int>(0); }
  std::optional<std::string> WriteProblem() override { return std::nullopt; }
};

struct NoUserState : zt::UserState {
  std::vector<std::string> failed;
  std::uint64_t SequenceFloor(std::string_view) override { return 0; }
  void RaiseSequenceFloor(std::string_view, std::uint64_t) override {}
  std::string NewestKey() override { return {}; }
  void SetNewestKey(std::string_view) override {}
  bool UpdaterVersionFailed(std::string_view) override { return false; }
  void RememberFailedUpdaterVersion(std::string_view v) override { failed.emplace_back(v); }
  std::uint32_t RolloutBucket() override { return 0; }
};

struct Recorder : zt::WorkerNotices {
  std::vector<Msg> messages;
  void DataDownloading() override { messages.emplace_back(zt::WM_DATA_DOWNLOADING, 0); }
  void DataDone(bool ok) override { messages.emplace_back(zt::WM_DATA_DONE, ok); }
  void UpdaterDownloading() override { messages.emplace_back(zt::WM_UPDATER_DOWNLOADING, 0); }
  void UpdaterDone(bool ok) override { messages.emplace_back(zt::WM_UPDATER_DONE, ok); }
  void Progress(unsigned) override {}
};

zt::CngCrypto g_cng;

fs::path OwnFolder() {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  return fs::path(self).parent_path();
}

// A process of the test's own, looked at and ended by its id.
struct UniqueRunning {
  zt::UniqueKernelHandle process;
  explicit UniqueRunning(std::uint32_t id)
      : process(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(id))) {}
  bool Runs() const { return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT; }
  void End() {
    if (!Runs()) return;
    ::TerminateProcess(process.get(), 1);
    ::WaitForSingleObject(process.get(), 5000);
  }
};

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
  const std::string descriptor =
      "data_version=0107\r\ndata_time=2025-03-01\r\ndata_file=wine_pkg.exe\r\ndata_length=50000\r\n";
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
  zt::DescriptorState d;
  d.SetServerBytes(ReadAll(download / "version.txt"));
  d.LoadLocalVersion(root);
  Recorder poster;
  zt::UpdateTrust trust({}, g_cng);
  OpenFolder shared;
  NoUserState user;
  zt::UpdateContext c{d, downloader, poster, trust, shared, user, zt::GbkToUtf8};
  EXPECT_EQ(zt::RunDataProcedure(c, {root, download, zt::MoveReplacing}), row.exitCode);
  EXPECT_EQ(poster.messages,
            (std::vector<Msg>{{zt::WM_DATA_DOWNLOADING, 0}, {zt::WM_DATA_DONE, row.installed ? 1u : 0u}}));
  if (row.installed) {
    EXPECT_EQ(ReadAll(root / "data_update.exe"), pkg);
    EXPECT_EQ(ReadAll(root / "version.txt"), descriptor);
    EXPECT_EQ(d.DataVersion(), "0107");
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

// A running executable and its successor, both the marker program (version 2.8, which records
// how it was started), told apart by a tag after the image; in a folder whose name holds what
// means something to a command line and Chinese letters.
struct SelfUpdate {
  zt_test::Server server;
  fs::path base, exe, placed, download, marker, record;
  std::string oldExe, newExe;
  zt::DescriptorState d;
  Recorder poster;
  zt::HandleSwap swap;
  zt::FolderReplaceabilityCheck folderCheck;
  zt::ReplaceabilityCheck* check = &folderCheck;
  zt::UpdateTrust trust{{}, g_cng};
  OpenFolder shared;
  NoUserState user;
  explicit SelfUpdate(const std::string& tag) {
    base = zt_test::FreshFolder(tag) / zt::PathFromUtf8("a b%c^d&e!f(g 中文");
    fs::create_directories(base);
    exe = base / "ZT_AutoUpdate.exe";
    placed = zt::NewExecutablePath(exe);
    const std::string image = ReadAll(OwnFolder() / "update_marker.exe");
    oldExe = image + std::string("\0ZT-OLD", 7);
    newExe = image + std::string("\0ZT-NEW", 7);
    WriteAll(exe, oldExe);
    download = zt_test::FreshFolder(tag + "_dl");
    server.Serve("ZT_AutoUpdate_new.exe", newExe);
    // The x64 executable's keys (this test runs as the x64 build).
    d.SetServerText("updater_version_x64=2.8\r\nupdater_file_x64=ZT_AutoUpdate_new.exe\r\nupdater_length_x64=" +
                    std::to_string(newExe.size()) + "\r\nupdater_sha256_x64=" + zt::HexOf(*g_cng.Sha256(newExe)) +
                    "\r\n");
    marker = download / "marker.txt";
    record = download / "replacing.txt";
    ::SetEnvironmentVariableW(L"ZT_TEST_MARKER", marker.c_str());
    zt::SetLogPath(download / "autoupdate.log");
    zt::SetReplacementRecordPath(record);
  }
  ~SelfUpdate() {
    // What the procedure said, when a check failed.
    if (::testing::Test::HasFailure()) std::printf("log:\n%s\n", ReadAll(download / "autoupdate.log").c_str());
    zt::SetLogPath({});
    zt::SetReplacementRecordPath({});
    for (const wchar_t* name : {L"ZT_TEST_MARKER", L"ZT_TEST_MARKER_CONFIRM", L"ZT_TEST_MARKER_STAY_MS"})
      ::SetEnvironmentVariableW(name, nullptr);
    ::SetFileAttributesW(exe.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  int Run() {
    zt::WinInetDownloader downloader({server.Address(), download}, 30s);
    zt::UpdateContext c{d, downloader, poster, trust, shared, user, zt::GbkToUtf8};
    const zt::UpdaterPaths paths{exe, download, "2.7", zt::kMachineX64, zt::MoveReplacing};
    return zt::RunUpdaterProcedure(c, swap, *check, paths);
  }
  // The main thread's part, as start-up runs it once the window has ended: true when confirmed.
  bool Finish() {
    const std::string before = ReadAll(download / "autoupdate.log");
    zt::CompletePendingReplacement();
    return ReadAll(download / "autoupdate.log").find("version 2.8 confirmed that it runs", before.size()) !=
           std::string::npos;
  }
  // The command line the marker recorded: who was started, and how.
  std::string Started() {
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < until && !fs::exists(marker)) std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(200ms);
    const std::string raw = ReadAll(marker);
    return zt::Narrow(std::wstring_view(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / 2));
  }
};

// The order against real files: the new executable is placed beside the old one and started from
// there while the executable keeps the old bytes; it confirms through an event of this replacement's
// own; the executable still keeps the old bytes until the new version, once the old process has
// ended, moves over it in one rename (here while the new process still runs from its copy).
TEST(UpdateSelfReplacementWine, NewVersionThatConfirmsTakesThePlaceOnlyAfterwards) {
  SelfUpdate s("self_ok");
  ::SetEnvironmentVariableW(L"ZT_TEST_MARKER_CONFIRM", L"1");
  ::SetEnvironmentVariableW(L"ZT_TEST_MARKER_STAY_MS", L"4000");
  EXPECT_EQ(s.Run(), 1);
  EXPECT_EQ(s.poster.messages, (std::vector<Msg>{{zt::WM_UPDATER_DOWNLOADING, 0}, {zt::WM_UPDATER_DONE, 1}}));
  EXPECT_TRUE(ReadAll(s.exe) == s.oldExe) << "the executable keeps the running version";
  EXPECT_TRUE(ReadAll(s.placed) == s.newExe) << "the new one waits beside it";
  // The record names both processes before the new one ran its first instruction.
  const auto record = zt::ReadReplacementRecord(s.record);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->version, "2.8");
  EXPECT_EQ(record->exe, s.exe);
  EXPECT_EQ(record->previousProcess, ::GetCurrentProcessId());
  EXPECT_NE(record->newProcess, 0u);
  EXPECT_EQ(record->stage, zt::HandOverStage::Started);

  EXPECT_TRUE(s.Finish());
  const std::string started = s.Started();
  const std::string arguments = "/autohide /replaced " + std::to_string(::GetCurrentProcessId()) + " ";
  const std::size_t at = started.find(arguments);
  ASSERT_NE(at, std::string::npos) << started;
  const std::string token = started.substr(at + arguments.size());
  EXPECT_EQ(token.size(), 32u) << started;
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << started;
  EXPECT_NE(started.find(zt::PathToUtf8(s.placed) + "\n"), std::string::npos) << "started from beside: " << started;
  EXPECT_TRUE(ReadAll(s.exe) == s.oldExe) << "confirmed, and still the old bytes: the old process has not ended";
  EXPECT_FALSE(fs::exists(zt::OldExecutablePath(s.exe)));

  // The new version's move, as its window's timer makes it: not before the old process has ended.
  UniqueRunning running(record->newProcess);
  zt::ExecutableTakeOver takeOver(s.placed, s.exe, zt::MoveReplacing, 3);
  std::string reason;
  EXPECT_EQ(takeOver.Look(true, true, reason), zt::ExecutableTakeOver::Step::Waiting);
  EXPECT_TRUE(ReadAll(s.exe) == s.oldExe);
  EXPECT_TRUE(running.Runs()) << "the move is of a running executable";
  EXPECT_EQ(takeOver.Look(true, false, reason), zt::ExecutableTakeOver::Step::Moved) << reason;
  EXPECT_TRUE(ReadAll(s.exe) == s.newExe);
  EXPECT_FALSE(fs::exists(s.placed));
}

// A new version that ends before it confirms: the executable never changed, the new copy and the
// record are gone, the old executable is started again hidden, and the version is remembered.
TEST(UpdateSelfReplacementWine, NewVersionThatEndsLeavesTheExecutableAsItWas) {
  SelfUpdate s("self_ends");
  EXPECT_EQ(s.Run(), 1);
  EXPECT_FALSE(s.Finish());
  EXPECT_TRUE(ReadAll(s.exe) == s.oldExe) << "the old executable is at its path";
  const std::string started = s.Started();  // the old one (a marker too) ran again
  EXPECT_NE(started.find(zt::PathToUtf8(s.exe) + "\" /autohide"), std::string::npos) << started;
  EXPECT_EQ(started.find("/replaced"), std::string::npos) << started;
  EXPECT_FALSE(fs::exists(s.placed));
  EXPECT_FALSE(fs::exists(s.record));
  EXPECT_FALSE(fs::exists(zt::OldExecutablePath(s.exe)));
  // Remembered for this user (the tool's own state; the registry of the test prefix).
  zt::RegistryUserState state(zt::Widen(zt::kUserStateKey));
  EXPECT_TRUE(state.UpdaterVersionFailed("2.8"));
  ::RegDeleteKeyValueW(HKEY_CURRENT_USER, zt::Widen(zt::kUserStateKey).c_str(), L"FailedUpdaterVersions");
}

// An event of the replacement's name that exists before the replacement made it was made by
// someone else, who could confirm for a version that never came up: the start fails, nothing runs
// from beside the executable, and the old version starts again.
TEST(UpdateSelfReplacementWine, ConfirmationEventMadeBySomeoneElseIsAFailedStart) {
  SelfUpdate s("self_squat");
  ::SetEnvironmentVariableW(L"ZT_TEST_MARKER_CONFIRM", L"1");
  WriteAll(s.placed, s.newExe);
  std::string why;
  auto held = g_cng.HashAndHold(s.placed, zt::HoldFor::Copying, s.newExe.size(), why);
  ASSERT_TRUE(held) << why;
  const std::string token(32, 'a');
  zt::UniqueKernelHandle squatter(::CreateEventW(nullptr, TRUE, TRUE, zt::ConfirmationEventName(token).c_str()));
  ASSERT_TRUE(squatter);
  zt::WindowsReplacementStart start("2.8", s.exe, std::move(*held), token);
  EXPECT_EQ(zt::FinishReplacement(start, s.user, s.exe, "2.8"), zt::StartOutcome::CouldNotStart);
  EXPECT_NE(ReadAll(s.download / "autoupdate.log").find("exists already"), std::string::npos);
  const std::string started = s.Started();
  EXPECT_EQ(started.find("/replaced"), std::string::npos) << "only the old one ran: " << started;
  EXPECT_TRUE(ReadAll(s.exe) == s.oldExe);
  EXPECT_FALSE(fs::exists(s.placed));
  EXPECT_EQ(s.user.failed, std::vector<std::string>{"2.8"});
}

// A start after a power cut, against real files: what a hand-over left is finished or undone, and
// a hand-over whose new process still runs from beside the executable is left alone.
TEST(UpdateSelfReplacementWine, StartRepairsWhatAHandOverLeft) {
  struct Row {
    const char* label;
    bool exe, placed, old;
    std::optional<zt::HandOverStage> stage;
    bool newRuns;
    std::string exeAfter;  // "old", "new", "" (missing)
    bool placedAfter, oldAfter, recordAfter, remembered;
  };
  const auto S = zt::HandOverStage::Started, C = zt::HandOverStage::Confirmed;
  // clang-format off
  const Row rows[] = {
      {"started, cut before confirming", true,  true,  false, S,            false, "old", false, false, false, true},
      {"confirmed, cut before the move", true,  true,  false, C,            false, "old", false, false, false, false},
      {"earlier order, cut mid-swap",    false, true,  true,  std::nullopt, false, "old", false, false, false, false},
      {"new one still runs",             true,  true,  false, S,            true,  "old", true,  false, true,  false},
  };
  // clang-format on
  for (const Row& r : rows) {
    SCOPED_TRACE(r.label);
    SelfUpdate s("self_repair");
    const fs::path old = zt::OldExecutablePath(s.exe);
    fs::remove(s.exe);
    if (r.exe) WriteAll(s.exe, s.oldExe);
    if (r.placed) WriteAll(s.placed, s.newExe);
    if (r.old) WriteAll(old, s.oldExe);
    std::optional<UniqueRunning> running;
    std::uint32_t newProcess = 4000000;  // no process
    if (r.newRuns) {
      ::SetEnvironmentVariableW(L"ZT_TEST_MARKER_STAY_MS", L"10000");
      PROCESS_INFORMATION pi{};
      STARTUPINFOW si{};
      si.cb = sizeof si;
      std::wstring line = L"\"" + s.placed.wstring() + L"\" /autohide /replaced 1 " + std::wstring(32, L'a');
      ASSERT_TRUE(
          ::CreateProcessW(s.placed.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
      ::CloseHandle(pi.hThread);
      ::CloseHandle(pi.hProcess);
      newProcess = pi.dwProcessId;
      running.emplace(newProcess);
    }
    std::string reason;
    if (r.stage) {
      ASSERT_TRUE(zt::WriteReplacementRecord(
          s.record, {"2.8", s.exe, 4000001, newProcess, zt::LocalRead::Loaded, *r.stage}, zt::MoveReplacing, reason));
    }
    zt::RepairHalfDoneReplacement(s.exe, s.user);
    if (r.exeAfter.empty()) {
      EXPECT_FALSE(fs::exists(s.exe));
    } else {
      EXPECT_TRUE(ReadAll(s.exe) == (r.exeAfter == "old" ? s.oldExe : s.newExe));
    }
    EXPECT_EQ(fs::exists(s.placed), r.placedAfter);
    EXPECT_EQ(fs::exists(old), r.oldAfter);
    EXPECT_EQ(fs::exists(s.record), r.recordAfter);
    EXPECT_EQ(s.user.failed.size(), r.remembered ? 1u : 0u);
    if (running) running->End();
  }
}

// The versions in the field replace themselves in the earlier order: they put the new executable in
// place, start it with "/autohide /replaced" alone and wait for the event named after its process.
// The tool of this order confirms to them as well, or no installation could ever take it.
TEST(UpdateSelfReplacementWine, StartByAVersionOfTheEarlierOrderIsConfirmed) {
  const fs::path dir = zt_test::FreshFolder("self_earlier");
  const fs::path exe = dir / "ZT_AutoUpdate.exe";
  ASSERT_TRUE(::CopyFileW((OwnFolder() / ".." / ".." / "ZT_AutoUpdate.exe").c_str(), exe.c_str(), FALSE));
  ::SetEnvironmentVariableW(L"ZT_UPDATE_SERVER", L"127.0.0.1:9");
  std::wstring line = L"\"" + exe.wstring() + L"\" /autohide /replaced";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                               &si, &pi));
  ::SetEnvironmentVariableW(L"ZT_UPDATE_SERVER", nullptr);
  zt::UniqueKernelHandle process(pi.hProcess), thread(pi.hThread);
  zt::UniqueKernelHandle confirmed(
      ::CreateEventW(nullptr, TRUE, FALSE, zt::ConfirmationEventName(std::to_string(pi.dwProcessId)).c_str()));
  ASSERT_TRUE(confirmed);
  ::ResumeThread(thread.get());
  const HANDLE waits[] = {confirmed.get(), process.get()};
  EXPECT_EQ(::WaitForMultipleObjects(2, waits, FALSE, 30000), WAIT_OBJECT_0) << "confirmed within 30 s";
  ::TerminateProcess(process.get(), 1);
  ::WaitForSingleObject(process.get(), 10000);
}

// A scanner reads the new copy from the moment it is placed: the copy is only read and started from
// where it lies, so the scanner stops nothing, and the executable is left as it was.
TEST(UpdateSelfReplacementWine, ScannerReadingTheNewCopyDoesNotStopItsStart) {
  struct HoldingCheck : zt::ReplaceabilityCheck {
    fs::path placed;
    zt::UniqueKernelHandle holder;
    std::optional<std::string> Problem(const fs::path&) override {
      if (fs::exists(placed))
        holder.reset(::CreateFileW(placed.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      return std::nullopt;
    }
  } holding;
  SelfUpdate s("self_held");
  ::SetEnvironmentVariableW(L"ZT_TEST_MARKER_CONFIRM", L"1");
  holding.placed = s.placed;
  s.check = &holding;
  EXPECT_EQ(s.Run(), 1);
  EXPECT_TRUE(holding.holder) << "the copy was held";
  EXPECT_EQ(s.poster.messages, (std::vector<Msg>{{zt::WM_UPDATER_DOWNLOADING, 0}, {zt::WM_UPDATER_DONE, 1}}));
  EXPECT_TRUE(s.Finish());
  EXPECT_NE(s.Started().find("/replaced"), std::string::npos);
  EXPECT_TRUE(ReadAll(s.exe) == s.oldExe) << "the executable is unchanged";
  EXPECT_FALSE(fs::exists(zt::OldExecutablePath(s.exe)));
}

// A read-only executable could never be replaced: the tool says so and keeps running.
TEST(UpdateSelfReplacementWine, ReadOnlyExecutableIsLeftAloneAndTheToolKeepsRunning) {
  SelfUpdate s("self_ro");
  ASSERT_TRUE(::SetFileAttributesW(s.exe.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(s.Run(), 0);
  EXPECT_EQ(s.poster.messages, (std::vector<Msg>{{zt::WM_UPDATER_DONE, 0}}));
  EXPECT_TRUE(ReadAll(s.exe) == s.oldExe) << "the executable is unchanged";
}

// CNG as Wine provides it: SHA-256, and ECDSA P-256 against a signature openssl made.
TEST(UpdateTrustWine, CngHashesAndVerifiesWhatOpensslSigned) {
  EXPECT_EQ(zt::HexOf(*g_cng.Sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const auto key = zt::ParsePublicKeyPem(
      "-----BEGIN PUBLIC KEY-----\n"
      "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEIxtE/w6UPgpMVmOM6BGpTvJGT2NP\n"
      "mQ0XTdpTIFt1gapDA0Hs2yPO9m9PiavCQ+3Al336HUthNhHHGU8tStWjVw==\n"
      "-----END PUBLIC KEY-----\n");
  ASSERT_TRUE(key);
  const std::string signedText =
      "data_version=2002\r\nzt_seq=7\r\n"
      "zt_sig=bJk48KonN3iP+ETEQu6Gob5jm4MmDXH8C3NDDaNC3x9/ZJPIABrxRteaWRbc1ZJvtcae/J9HLt2mHj9zTEvpiw==\r\n";
  zt::UpdateTrust trust({*key}, g_cng);
  EXPECT_FALSE(trust.SignatureRefusal(signedText).has_value());
  for (std::size_t at : {std::size_t{0}, std::size_t{18}, signedText.size() - 5}) {
    std::string flipped = signedText;
    flipped[at] = flipped[at] == 'A' ? 'B' : 'A';
    EXPECT_TRUE(trust.SignatureRefusal(flipped).has_value()) << at;
  }
}

// An unsigned descriptor fetched from the server: used without a key, refused (and the server text
// emptied) with one.
TEST(UpdateTrustWine, UnsignedDescriptorIsUsedOnlyWithoutAKey) {
  zt_test::Server server;
  server.Serve("version.txt", "data_version=0301\r\ndata_file=p.exe\r\ndata_length=10\r\n");
  const fs::path download = zt_test::FreshFolder("unsigned_dl");
  zt::WinInetDownloader downloader({server.Address(), download}, 20s);
  const auto key = zt::ParsePublicKeyPem(
      "-----BEGIN PUBLIC KEY-----\n"
      "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEIxtE/w6UPgpMVmOM6BGpTvJGT2NP\n"
      "mQ0XTdpTIFt1gapDA0Hs2yPO9m9PiavCQ+3Al336HUthNhHHGU8tStWjVw==\n"
      "-----END PUBLIC KEY-----\n");
  for (const bool withKey : {false, true}) {
    SCOPED_TRACE(withKey);
    zt::UpdateTrust trust(withKey ? std::vector{*key} : std::vector<zt::PublicKey>{}, g_cng);
    zt::DescriptorState state;
    state.SetServerText("earlier");
    NoUserState user;
    zt::DescriptorFetch fetch{state, downloader, trust, user, download};
    EXPECT_EQ(zt::FetchServerDescriptor(fetch), withKey ? zt::FetchResult::Refused : zt::FetchResult::Accepted);
    EXPECT_EQ(state.ServerText().empty(), withKey);
  }
}

// While a checked file is held nobody can write, rename or delete it; afterwards they can.
TEST(UpdateTrustWine, HeldFileCannotBeChangedUntilReleased) {
  const fs::path dir = zt_test::FreshFolder("held");
  const fs::path file = dir / "data_update.exe";
  WriteAll(file, "MZ program");
  std::string why;
  auto held = g_cng.HashAndHold(file, zt::HoldFor::Running, 10, why);
  ASSERT_TRUE(held) << why;
  EXPECT_EQ(held->digest, *g_cng.Sha256("MZ program"));
  zt::UniqueKernelHandle writer(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(writer);
  EXPECT_FALSE(::MoveFileExW(file.c_str(), (dir / "swapped.exe").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(::DeleteFileW(file.c_str()));
  held->hold.reset();
  EXPECT_TRUE(::DeleteFileW(file.c_str()));
}

// A file far larger than the length it is checked against (a sparse one, as another account could
// plant in the shared folder) is refused from its size on the handle, before it is read: for every
// purpose, and the file is not held afterwards.
TEST(UpdateTrustWine, FileLargerThanItsLengthIsRefusedUnread) {
  const fs::path dir = zt_test::FreshFolder("huge");
  const fs::path file = dir / "data_update.exe";
  {
    zt::UniqueKernelHandle out(
        ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(out);
    LARGE_INTEGER end{};
    end.QuadPart = 2LL << 30;
    ASSERT_TRUE(::SetFilePointerEx(out.get(), end, nullptr, FILE_BEGIN) && ::SetEndOfFile(out.get()));
  }
  for (const zt::HoldFor purpose : {zt::HoldFor::Running, zt::HoldFor::Copying, zt::HoldFor::Moving}) {
    std::string why;
    EXPECT_FALSE(g_cng.HashAndHold(file, purpose, 1000, why));
    EXPECT_NE(why.find("2147483648 is larger than the 1000 bytes"), std::string::npos) << why;
  }
  EXPECT_TRUE(::DeleteFileW(file.c_str()));
}

}  // namespace
