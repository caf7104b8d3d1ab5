// Real WinINet transfers under Wine against the loopback update server, one row per fault mode:
// what is stored, how long the caller is held, and that the previous file survives every failure.
#include <windows.h>

#include <gtest/gtest.h>

#include "win/window_poster.h"

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/ids.h"
#include "base/notice.h"
#include "update/net/downloads_win.h"
#include "update/downloads.h"
#include "update/install/temp_file.h"
#include "update/install/temp_file_win.h"
#include "update_win_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zt_test::ReadAll;
using zt_test::WriteAll;

struct FaultRow {
  const char* label;
  const char* fault;  // JSON of the server's fault mode for the file ("{}": none)
  std::int32_t expected;
  std::chrono::milliseconds budget;
  bool stored;
  std::size_t storedLength;
  const char* reasonPart;
  std::chrono::milliseconds maxTime;
};

constexpr std::size_t kBody = 20000;

class UpdateFaultModes : public ::testing::TestWithParam<FaultRow> {};

TEST_P(UpdateFaultModes, StoresOnlyWholeAcceptedBodies) {
  const FaultRow& row = GetParam();
  zt_test::Server server;
  const std::string name = std::string("fm_") + row.label + ".bin";
  const std::string body = zt_test::ExeBody(kBody, row.label[0]);
  server.Serve(name, body);
  server.Serve("fm_target.bin", zt_test::ExeBody(kBody, 'T'));
  server.SetFault(name, row.fault);
  const fs::path folder = zt_test::FreshFolder(std::string("fm_") + row.label);
  WriteAll(folder / name, "previous copy");

  const auto start = std::chrono::steady_clock::now();
  const zt::TransferResult r = zt::DownloadFileTo({server.Address(), folder}, name, row.expected, row.budget);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);

  RecordProperty("observed", r.reason);
  std::printf("[fault %s] stored=%d status=%d received=%llu reason=%s took=%lld ms\n", row.label, r.stored, r.status,
              static_cast<unsigned long long>(r.received), r.reason.c_str(), static_cast<long long>(took.count()));
  EXPECT_EQ(r.stored, row.stored) << r.reason;
  EXPECT_NE(r.reason.find(row.reasonPart), std::string::npos) << r.reason;
  EXPECT_LT(took, row.maxTime);
  if (row.stored) {
    const std::string got = ReadAll(folder / name);
    EXPECT_EQ(got.size(), row.storedLength);
    if (std::string(row.fault).find("redirect") == std::string::npos)
      EXPECT_EQ(got, body.substr(0, row.storedLength));
    else
      EXPECT_EQ(got, zt_test::ExeBody(kBody, 'T'));
  } else {
    EXPECT_EQ(ReadAll(folder / name), "previous copy");
  }
  // A transfer abandoned at the budget may still sit in a blocked read for a moment; once its
  // handles are closed or its receive time-out ends, it removes its partial file.
  const auto cleanupStart = std::chrono::steady_clock::now();
  while (zt_test::TempFilesIn(folder) != 0 && std::chrono::steady_clock::now() - cleanupStart < row.budget + 5s)
    ::Sleep(50);
  std::printf("[fault %s] partial file gone after %lld ms\n", row.label,
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - cleanupStart)
                      .count()));
  EXPECT_EQ(zt_test::TempFilesIn(folder), 0);
  server.SetFault(name, "{}");
}

constexpr std::int32_t kLen = static_cast<std::int32_t>(kBody);

INSTANTIATE_TEST_SUITE_P(
    Server, UpdateFaultModes,
    ::testing::Values(
        FaultRow{"none_exact", "{}", kLen, 20s, true, kBody, "stored", 10s},
        FaultRow{"none_unsized", "{}", 0, 20s, true, kBody, "stored", 10s},
        FaultRow{"length_mismatch", "{}", kLen - 1, 20s, false, 0, "differs", 10s},
        FaultRow{"status_404", R"({"status": 404})", 0, 20s, false, 0, "HTTP status 404", 10s},
        FaultRow{"status_500_sized", R"({"status": 500})", kLen, 20s, false, 0, "HTTP status 500", 10s},
        FaultRow{"announced_longer", R"({"announce": 25000})", 0, 20s, false, 0, "shorter than announced", 10s},
        FaultRow{"announced_shorter_sized", R"({"announce": 15000})", kLen, 20s, false, 0, "differs", 10s},
        FaultRow{"no_length_sized", R"({"no_length": true})", kLen, 20s, true, kBody, "stored", 10s},
        FaultRow{"no_length_unsized", R"({"no_length": true})", 0, 20s, true, kBody, "stored", 10s},
        FaultRow{"dropped", R"({"drop_after": 5000})", kLen, 20s, false, 0, "shorter than announced", 10s},
        FaultRow{"dropped_unsized", R"({"drop_after": 5000})", 0, 20s, false, 0, "shorter than announced", 10s},
        FaultRow{"stall_before", R"({"stall_before": 120})", 0, 3s, false, 0, "budget", 4500ms},
        FaultRow{"stall_during", R"({"stall_after": 8192, "stall_seconds": 120})", kLen, 3s, false, 0, "budget",
                 4500ms},
        FaultRow{"slow_drip_in_budget", R"({"drip_bytes": 2000, "drip_interval": 0.05})", kLen, 20s, true, kBody,
                 "stored", 10s},
        FaultRow{"slow_drip_over_budget", R"({"drip_bytes": 500, "drip_interval": 0.2})", kLen, 2s, false, 0, "budget",
                 3500ms},
        FaultRow{"redirect", R"({"redirect": "fm_target.bin"})", kLen, 20s, true, kBody, "stored", 10s}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(UpdateDownload, MissingFileAndClosedPortFailAndKeepThePreviousFile) {
  zt_test::Server server;
  const fs::path folder = zt_test::FreshFolder("missing");
  WriteAll(folder / "nowhere.bin", "previous copy");
  struct Row {
    const char* label;
    zt::ServerAddress address;
  };
  for (const Row& row :
       {Row{"missing file", server.Address()}, Row{"closed port", {"127.0.0.1", zt_test::ClosedPort()}}}) {
    SCOPED_TRACE(row.label);
    const auto start = std::chrono::steady_clock::now();
    const auto r = zt::DownloadFileTo({row.address, folder}, "nowhere.bin", 0, 20s);
    EXPECT_FALSE(r.stored);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(ReadAll(folder / "nowhere.bin"), "previous copy");
  }
}

// Without room on the volume for the package and its installed copy nothing is fetched, and the
// log and the window's notice say how much is needed and free.
TEST(UpdateDownload, NoRoomFetchesNothingAndSaysWhy) {
  zt_test::Server server;
  const std::string body = zt_test::ExeBody(25 * 1024 * 1024, 's');
  server.Serve("big.exe", body);
  const fs::path folder = zt_test::FreshFolder("no_room");
  zt::ClearInfoNotice();
  const auto freeBytes = [](const fs::path&) { return std::optional<std::uint64_t>(39ull * 1024 * 1024); };
  const auto r =
      zt::DownloadFileTo({server.Address(), folder, freeBytes}, "big.exe", static_cast<std::int32_t>(body.size()), 20s);
  EXPECT_FALSE(r.stored);
  EXPECT_EQ(r.reason, "not enough free space: 66 MiB needed, 39 MiB free");
  EXPECT_EQ(zt::InfoNotice(), "磁盘空间不足：需要 66 MiB，可用 39 MiB。");
  EXPECT_TRUE(server.RequestsFor("big.exe").empty());
  zt::ClearInfoNotice();
}

// A descriptor fetch: a server that accepts and never answers holds the download (the server
// from ZT_UPDATE_SERVER) no longer than the refresh's 5 s budget.
TEST(UpdateDownload, RefreshBudgetHoldsAgainstAStalledServer) {
  zt_test::Server server;
  server.Serve("version.txt", "data_version=0105\n");
  server.SetFault("version.txt", R"({"stall_before": 120})");
  zt_test::ServerEnvironment env(server);
  const fs::path folder = zt_test::FreshFolder("refresh_budget");
  zt::WinInetDownloader downloader({zt::UpdateServerAddress(), folder}, 5000ms);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(downloader.Download("version.txt", 0));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 4500ms);
  EXPECT_LT(took, 6s);
  server.SetFault("version.txt", "{}");
  EXPECT_TRUE(downloader.Download("version.txt", 0));
  EXPECT_EQ(ReadAll(folder / "version.txt"), "data_version=0105\n");
}

// Fresh answers: every request asks caches to stand aside, so no cache hides a new descriptor.
TEST(UpdateDownload, RequestsAskForAFreshAnswer) {
  zt_test::Server server;
  server.Serve("fresh.txt", "one");
  const fs::path folder = zt_test::FreshFolder("fresh");
  ASSERT_TRUE(zt::DownloadFileTo({server.Address(), folder}, "fresh.txt", 0, 20s).stored);
  server.Serve("fresh.txt", "two");
  ASSERT_TRUE(zt::DownloadFileTo({server.Address(), folder}, "fresh.txt", 0, 20s).stored);
  EXPECT_EQ(ReadAll(folder / "fresh.txt"), "two");
  const auto requests = server.RequestsFor("fresh.txt");
  ASSERT_EQ(requests.size(), 2u);
  for (const std::string& line : requests) {
    EXPECT_NE(line.find("\"path\": \"/autoupdate/fresh.txt\""), std::string::npos) << line;
    EXPECT_NE(line.find("no-cache"), std::string::npos) << line;
  }
}

TEST(UpdateDownload, ProgressMessagesReachTheWindow) {
  zt_test::Server server;
  const std::size_t size = 10 * 4096 + 100;
  server.Serve("progress.bin", zt_test::ExeBody(size, 'p'));
  const fs::path folder = zt_test::FreshFolder("progress");
  HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  zt::SetMainWindow(window);
  struct Row {
    std::int32_t expected;
    std::vector<WPARAM> progress;
  };
  for (const Row& row :
       {Row{static_cast<std::int32_t>(size), {0, 9, 19, 29, 39, 49, 59, 69, 79, 89, 99, 100}}, Row{0, {}}}) {
    SCOPED_TRACE(row.expected);
    EXPECT_TRUE(zt::DownloadFileTo({server.Address(), folder}, "progress.bin", row.expected, 20s).stored);
    std::vector<WPARAM> seen;
    MSG msg;
    while (::PeekMessageW(&msg, window, zt::WM_DOWNLOAD_PROGRESS, zt::WM_DOWNLOAD_PROGRESS, PM_REMOVE))
      seen.push_back(msg.wParam);
    EXPECT_EQ(seen, row.progress);
  }
  zt::SetMainWindow(nullptr);
  ::DestroyWindow(window);
}

TEST(UpdateDownload, TwoTransfersOfOneFileLeaveOneWholeCopy) {
  zt_test::Server server;
  const std::string a = zt_test::ExeBody(300000, 'a');
  server.Serve("same.bin", a);
  server.SetFault("same.bin", R"({"drip_bytes": 30000, "drip_interval": 0.02})");
  const fs::path folder = zt_test::FreshFolder("same");
  HANDLE threads[2];
  struct Arg {
    zt::DownloadTarget target;
    bool ok = false;
    std::string reason;
  } args[2] = {{{server.Address(), folder}, false, {}}, {{server.Address(), folder}, false, {}}};
  for (int i = 0; i < 2; ++i)
    threads[i] = ::CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
          auto* arg = static_cast<Arg*>(p);
          const auto result = zt::DownloadFileTo(arg->target, "same.bin", 300000, std::chrono::seconds(30));
          arg->ok = result.stored;
          arg->reason = result.reason;
          return 0;
        },
        &args[i], 0, nullptr);
  ::WaitForMultipleObjects(2, threads, TRUE, 60000);
  for (HANDLE h : threads) ::CloseHandle(h);
  EXPECT_TRUE(args[0].ok) << args[0].reason;
  EXPECT_TRUE(args[1].ok) << args[1].reason;
  EXPECT_EQ(ReadAll(folder / "same.bin"), a);
  EXPECT_EQ(zt_test::TempFilesIn(folder), 0);
  server.SetFault("same.bin", "{}");
}

// At start: temporary files a crash left behind go after a day, and the tool's payloads that
// neither the installed descriptor nor the last one fetched names go at once, from the shared
// download folder and this user's own; a user's other files stay.
TEST(UpdateDownload, StaleTemporaryFilesAndPayloadsAreRemovedAtStart) {
  const fs::path folder = "C:\\ZT_Update\\Download";
  const fs::path own = zt::OwnDownloadFolder();
  ASSERT_FALSE(own.empty());
  fs::create_directories(folder);
  WriteAll(folder / "pkg.exe.99-1.ztpart", "left by a crash");
  WriteAll(folder / "pkg.exe.99-2.ztpart", "still running");
  WriteAll(folder / "notes.txt", "a user's");
  WriteAll(folder / "Data_2003.exe", "MZ installed package");
  WriteAll(folder / "Data_2002.exe", "MZ earlier package");
  WriteAll(folder / "Data_2002.exe.ztresume", "MZ part");
  WriteAll("C:\\ZT_Update\\version.txt", "data_version=2003\r\ndata_file=Data_2003.exe\r\n");
  WriteAll(own / "version.txt", "updater_file_x64=ZT_AutoUpdate_2.9_x64.exe\r\n");
  WriteAll(own / "ZT_AutoUpdate_2.9_x64.exe", "MZ offered executable");
  WriteAll(own / "ZT_AutoUpdate_2.8_x64.exe", "MZ earlier executable");
  const auto now = fs::file_time_type::clock::now();
  fs::last_write_time(folder / "pkg.exe.99-1.ztpart", now - std::chrono::hours(30));
  zt::RemoveStaleDownloads();
  for (const fs::path& gone : {folder / "pkg.exe.99-1.ztpart", folder / "Data_2002.exe",
                               folder / "Data_2002.exe.ztresume", own / "ZT_AutoUpdate_2.8_x64.exe"})
    EXPECT_FALSE(fs::exists(gone)) << gone;
  for (const fs::path& stays : {folder / "pkg.exe.99-2.ztpart", folder / "notes.txt", folder / "Data_2003.exe",
                                own / "ZT_AutoUpdate_2.9_x64.exe", own / "version.txt"})
    EXPECT_TRUE(fs::exists(stays)) << stays;
  for (const fs::path& made :
       {folder / "pkg.exe.99-2.ztpart", folder / "notes.txt", folder / "Data_2003.exe",
        own / "ZT_AutoUpdate_2.9_x64.exe", own / "version.txt", fs::path("C:\\ZT_Update\\version.txt")})
    fs::remove(made);
}

// A commit on Windows moves the temporary file over the target: a target that another program
// (a scanner, an indexer) holds for a moment is replaced once it is free; one held throughout is
// left whole, and the temporary file goes either way.
TEST(TempFileWine, CommitWaitsForAMomentaryHolderOnly) {
  const fs::path folder = zt_test::FreshFolder("commit_held");
  const fs::path target = folder / "pkg.exe";
  enum class Hold { None, Moment, Throughout };
  struct Row {
    const char* label;
    Hold hold;
    bool stored;
  };
  for (const Row& row : {Row{"free", Hold::None, true}, Row{"held a moment", Hold::Moment, true},
                         Row{"held throughout", Hold::Throughout, false}}) {
    SCOPED_TRACE(row.label);
    WriteAll(target, "old");
    HANDLE held = INVALID_HANDLE_VALUE;
    if (row.hold != Hold::None) {
      held = ::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(held, INVALID_HANDLE_VALUE);
    }
    std::thread releaser;
    if (row.hold == Hold::Moment)
      releaser = std::thread([held] {
        ::Sleep(300);
        ::CloseHandle(held);
      });
    bool committed = false;
    std::string reason;
    {
      zt::TempFile temp(folder, "pkg.exe");
      committed = temp.Open() && temp.Write("new") && temp.CommitTo(target, zt::MoveReplacing, reason);
    }
    if (releaser.joinable()) releaser.join();
    if (row.hold == Hold::Throughout) ::CloseHandle(held);
    EXPECT_EQ(committed, row.stored) << reason;
    EXPECT_EQ(ReadAll(target), row.stored ? "new" : "old");
    if (!row.stored) {
      EXPECT_NE(reason.find("MoveFileExW"), std::string::npos) << reason;
    }
    EXPECT_EQ(zt_test::TempFilesIn(folder), 0);
  }
}

// A name with more than one file name behind it (a hard link another account made to a file of
// this user) is never written through, counted on the file's own handle: a target is not replaced
// and a part is not appended to; a file of one name is.
TEST(TempFileWine, FilesWithAnotherNameAreNeitherReplacedNorAppendedTo) {
  const fs::path folder = zt_test::FreshFolder("linked");
  WriteAll(folder / "victim", "this user's own");
  ASSERT_TRUE(::CreateHardLinkW((folder / "version.txt").c_str(), (folder / "victim").c_str(), nullptr));
  std::string reason;
  {
    zt::TempFile temp(folder, "version.txt");
    EXPECT_FALSE(temp.Open() && temp.Write("new") && temp.CommitTo(folder / "version.txt", zt::MoveReplacing, reason));
  }
  EXPECT_NE(reason.find("has 2 names"), std::string::npos) << reason;
  EXPECT_EQ(ReadAll(folder / "victim"), "this user's own");
  EXPECT_EQ(zt_test::TempFilesIn(folder), 0);
  zt::FileWriter part;
  EXPECT_FALSE(part.Append(folder / "version.txt"));
  EXPECT_NE(part.Problem().find("has 2 names"), std::string::npos) << part.Problem();
  EXPECT_FALSE(part.Create(folder / "version.txt"));
  EXPECT_EQ(ReadAll(folder / "victim"), "this user's own");

  ASSERT_TRUE(::DeleteFileW((folder / "version.txt").c_str()));
  WriteAll(folder / "one.ztresume", "part ");
  ASSERT_TRUE(part.Append(folder / "one.ztresume")) << part.Problem();
  EXPECT_TRUE(part.Write("more") && part.Close());
  EXPECT_EQ(ReadAll(folder / "one.ztresume"), "part more");
  zt::TempFile temp(folder, "victim");
  EXPECT_TRUE(temp.Open() && temp.Write("replaced") && temp.CommitTo(folder / "victim", zt::MoveReplacing, reason))
      << reason;
  EXPECT_EQ(ReadAll(folder / "victim"), "replaced");
}

}  // namespace
