#include "update/net/transfer.h"

#include "base/fsutil.h"
#include "update/net/server_address.h"
#include "update/install/temp_file.h"

#include <gtest/gtest.h>

#include "tests/unit/file_helpers.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using zt::kDownloadBufferSize;

using zt::test::ReadAll;
using zt::test::WriteAll;

fs::path FreshDir(const std::string& tag) {
  const auto dir = fs::temp_directory_path() /
                   ("zt_transfer_" + tag + "_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

int TempFilesIn(const fs::path& dir) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(dir)) n += e.path().filename().string().ends_with(".ztpart");
  return n;
}

// A body generated on demand (so the 30 MiB cases need no 30 MiB string), with faults.
struct ScriptedSource : zt::HttpSource {
  std::uint64_t bodyLength = 0;
  int status = 200;
  std::optional<std::uint64_t> announced;
  bool openFails = false;
  std::optional<std::uint64_t> failAt;  // the read that would pass this offset fails
  std::size_t maxPerRead = 4096;        // sources may return less than asked
  std::string openedPath;
  std::uint64_t offset = 0;
  int reads = 0;

  static char ByteAt(std::uint64_t i) { return static_cast<char>('a' + i % 23); }

  zt::HttpAnswer Open(const zt::HttpGet& get) override {
    openedPath = get.path;
    zt::HttpAnswer a;
    a.ok = !openFails;
    a.status = openFails ? 0 : status;
    a.announced = openFails ? std::nullopt : announced;
    a.reason = openFails ? "cannot connect" : "";
    return a;
  }
  zt::HttpRead Read(char* buffer, std::size_t size) override {
    ++reads;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>({size, maxPerRead, bodyLength - offset}));
    if (failAt && offset + n >= *failAt && n > 0) return {false, 0, "connection reset"};
    for (std::size_t i = 0; i < n; ++i) buffer[i] = ByteAt(offset + i);
    offset += n;
    return {true, n, ""};
  }
};

std::string Body(std::uint64_t n) {
  std::string s(n, '\0');
  for (std::uint64_t i = 0; i < n; ++i) s[i] = ScriptedSource::ByteAt(i);
  return s;
}

// The progress sequence: 0, received*100/expected after every full 4096-byte chunk, 100.
std::vector<unsigned> ExpectedProgress(std::uint64_t body, std::int32_t expected) {
  std::vector<unsigned> p;
  if (expected == 0) return p;
  p.push_back(0);
  const std::uint64_t read = std::min(body, kDownloadBufferSize);
  for (std::uint64_t got = 4096; got <= read; got += 4096) {
    if (got == kDownloadBufferSize) break;
    if (got == read && read == body) {  // the body ended on a chunk edge: the next read returns 0
      p.push_back(static_cast<unsigned>(got * 100 / static_cast<std::uint64_t>(expected)));
      break;
    }
    p.push_back(static_cast<unsigned>(got * 100 / static_cast<std::uint64_t>(expected)));
  }
  p.push_back(100);
  return p;
}

struct LoopCase {
  const char* label;
  std::uint64_t body;
  std::int32_t expected;
  bool stored;
  std::uint64_t storedLength;
};

class TransferLoop : public ::testing::TestWithParam<LoopCase> {};

TEST_P(TransferLoop, StoresOnlyAcceptedBodiesAndReportsProgress) {
  const LoopCase c = GetParam();
  const fs::path dir = FreshDir(c.label);
  WriteAll(dir / "pkg.exe", "previous copy");
  ScriptedSource src;
  src.bodyLength = c.body;
  std::vector<unsigned> progress;
  zt::TransferRequest req;
  req.name = "pkg.exe";
  req.expectedLength = c.expected;
  req.folder = dir;
  req.progress = [&](unsigned p) { progress.push_back(p); };

  const zt::TransferResult r = zt::RunTransfer(src, req);

  EXPECT_EQ(src.openedPath, "/autoupdate/pkg.exe");
  EXPECT_EQ(r.stored, c.stored) << r.reason;
  EXPECT_EQ(r.received, std::min(c.body, kDownloadBufferSize));
  EXPECT_LE(src.offset, kDownloadBufferSize) << "read beyond the cap";
  if (c.stored) {
    EXPECT_EQ(fs::file_size(dir / "pkg.exe"), c.storedLength);
    if (c.body < 100000) {
      EXPECT_EQ(ReadAll(dir / "pkg.exe"), Body(c.storedLength));
    }
  } else {
    EXPECT_EQ(ReadAll(dir / "pkg.exe"), "previous copy");
  }
  EXPECT_EQ(progress, ExpectedProgress(c.body, c.expected));
  EXPECT_EQ(TempFilesIn(dir), 0);
  fs::remove_all(dir);
}

constexpr std::int32_t kCap = static_cast<std::int32_t>(kDownloadBufferSize);

INSTANTIATE_TEST_SUITE_P(
    Lengths, TransferLoop,
    ::testing::Values(LoopCase{"empty_any", 0, 0, true, 0}, LoopCase{"small_any", 100, 0, true, 100},
                      LoopCase{"exact", 10000, 10000, true, 10000}, LoopCase{"one_short", 9999, 10000, false, 0},
                      LoopCase{"one_long", 10001, 10000, false, 0}, LoopCase{"chunk_multiple", 8192, 8192, true, 8192},
                      LoopCase{"chunk_multiple_any", 4096 * 3, 0, true, 4096 * 3},
                      LoopCase{"long_above_100", 40960, 4096, false, 0}, LoopCase{"empty_expected_one", 0, 1, false, 0},
                      LoopCase{"cap_exact", kDownloadBufferSize, kCap, true, kDownloadBufferSize},
                      LoopCase{"beyond_cap_any", kDownloadBufferSize + 5000, 0, true, kDownloadBufferSize},
                      LoopCase{"beyond_cap_expected_cap", kDownloadBufferSize + 1, kCap, true, kDownloadBufferSize},
                      LoopCase{"beyond_cap_expected_more", kDownloadBufferSize + 1, kCap + 1, false, 0}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(TransferLoopProgress, LongBodyReportsAboveHundredThenHundred) {
  const fs::path dir = FreshDir("above");
  ScriptedSource src;
  src.bodyLength = 3 * 4096 + 7;
  std::vector<unsigned> progress;
  zt::TransferRequest req;
  req.name = "f.bin";
  req.expectedLength = 4096;
  req.folder = dir;
  req.progress = [&](unsigned p) { progress.push_back(p); };
  EXPECT_FALSE(zt::RunTransfer(src, req).stored);
  EXPECT_EQ(progress, (std::vector<unsigned>{0, 100, 200, 300, 100}));
  fs::remove_all(dir);
}

// Faults of the server or the connection: nothing stored, the previous file intact, no temp left.
struct FaultCase {
  const char* label;
  int status;
  std::optional<std::uint64_t> announced;
  bool openFails;
  std::optional<std::uint64_t> failAt;
  std::int32_t expected;
  const char* reasonPart;
};

class TransferFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(TransferFaults, LeavePreviousFileAndNoTemporary) {
  const FaultCase c = GetParam();
  const fs::path dir = FreshDir(c.label);
  WriteAll(dir / "version.txt", "old descriptor");
  ScriptedSource src;
  src.bodyLength = 5000;
  src.status = c.status;
  src.announced = c.announced;
  src.openFails = c.openFails;
  src.failAt = c.failAt;
  std::vector<unsigned> progress;
  zt::TransferRequest req;
  req.name = "version.txt";
  req.expectedLength = c.expected;
  req.folder = dir;
  req.progress = [&](unsigned p) { progress.push_back(p); };
  const zt::TransferResult r = zt::RunTransfer(src, req);
  EXPECT_FALSE(r.stored);
  EXPECT_NE(r.reason.find(c.reasonPart), std::string::npos) << r.reason;
  EXPECT_EQ(ReadAll(dir / "version.txt"), "old descriptor");
  EXPECT_EQ(TempFilesIn(dir), 0);
  if (c.expected != 0) {
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 0u);
    EXPECT_EQ(progress.back(), 100u);
  } else {
    EXPECT_TRUE(progress.empty());
  }
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TransferFaults,
    ::testing::Values(FaultCase{"open_fails", 0, std::nullopt, true, std::nullopt, 5000, "cannot connect"},
                      FaultCase{"status_404", 404, 5000, false, std::nullopt, 0, "HTTP status 404"},
                      FaultCase{"status_500_sized", 500, 5000, false, std::nullopt, 5000, "HTTP status 500"},
                      FaultCase{"status_302", 302, std::nullopt, false, std::nullopt, 0, "HTTP status 302"},
                      FaultCase{"shorter_than_announced", 200, 6000, false, std::nullopt, 0, "shorter than announced"},
                      FaultCase{"reset_mid_body", 200, 5000, false, 4500, 0, "connection reset"},
                      FaultCase{"reset_first_chunk", 200, 5000, false, 100, 5000, "connection reset"},
                      FaultCase{"reset_at_end", 200, std::nullopt, false, 5000, 0, "connection reset"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(TransferLoopReads, ShortReadsDoNotEndTheBodyEarly) {
  const fs::path dir = FreshDir("short_reads");
  ScriptedSource src;
  src.bodyLength = 10000;
  src.maxPerRead = 1000;
  std::vector<unsigned> progress;
  zt::TransferRequest req;
  req.name = "f.bin";
  req.expectedLength = 10000;
  req.folder = dir;
  req.progress = [&](unsigned p) { progress.push_back(p); };
  const auto r = zt::RunTransfer(src, req);
  EXPECT_TRUE(r.stored) << r.reason;
  EXPECT_EQ(ReadAll(dir / "f.bin"), Body(10000));
  EXPECT_EQ(progress, (std::vector<unsigned>{0, 40, 81, 100}));
  fs::remove_all(dir);
}

TEST(TransferLoopLimits, DeadlineCancelAndNegativeLengthStoreNothing) {
  const fs::path dir = FreshDir("limits");
  struct Row {
    const char* label;
    std::chrono::steady_clock::time_point deadline;
    bool cancel;
    std::int32_t expected;
    const char* reason;
  };
  const auto past = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  const auto never = std::chrono::steady_clock::time_point::max();
  for (const Row& row : {Row{"deadline", past, false, 0, "budget"}, Row{"cancel", never, true, 0, "cancelled"},
                         Row{"negative", never, false, -5, "negative"}}) {
    SCOPED_TRACE(row.label);
    WriteAll(dir / "f.bin", "keep");
    ScriptedSource src;
    src.bodyLength = 9000;
    std::atomic<bool> cancelled{row.cancel};
    int posts = 0;
    zt::TransferRequest req;
    req.name = "f.bin";
    req.expectedLength = row.expected;
    req.folder = dir;
    req.deadline = row.deadline;
    req.progress = [&](unsigned) { ++posts; };
    req.cancelled = &cancelled;
    const auto r = zt::RunTransfer(src, req);
    EXPECT_FALSE(r.stored);
    EXPECT_NE(r.reason.find(row.reason), std::string::npos) << r.reason;
    EXPECT_EQ(ReadAll(dir / "f.bin"), "keep");
    EXPECT_EQ(TempFilesIn(dir), 0);
    if (row.cancel) {
      EXPECT_EQ(posts, 0) << "a cancelled transfer must not post progress";
    }
  }
  fs::remove_all(dir);
}

TEST(TransferLoopReplace, FailedReplaceKeepsTargetAndRemovesTemporary) {
  const fs::path dir = FreshDir("replace");
  WriteAll(dir / "f.bin", "keep");
  ScriptedSource src;
  src.bodyLength = 10;
  zt::TransferRequest req;
  req.name = "f.bin";
  req.folder = dir;
  req.replace = [](const fs::path&, const fs::path&, std::string& why) {
    why = "in use";
    return false;
  };
  const auto r = zt::RunTransfer(src, req);
  EXPECT_FALSE(r.stored);
  EXPECT_NE(r.reason.find("in use"), std::string::npos);
  EXPECT_EQ(ReadAll(dir / "f.bin"), "keep");
  EXPECT_EQ(TempFilesIn(dir), 0);
  fs::remove_all(dir);
}

// Two transfers of the same file at once: each writes its own temporary file, so the file left
// is one whole body, never a mix of the two.
TEST(TransferLoopConcurrency, TwoTransfersOfOneFileLeaveOneWholeCopy) {
  const fs::path dir = FreshDir("concurrent");
  struct SlowSource : ScriptedSource {
    char fill;
    zt::HttpRead Read(char* buffer, std::size_t size) override {
      auto r = ScriptedSource::Read(buffer, std::min<std::size_t>(size, 512));
      std::fill(buffer, buffer + r.bytes, fill);
      std::this_thread::yield();
      return r;
    }
  };
  for (int round = 0; round < 5; ++round) {
    SlowSource a, b;
    a.bodyLength = b.bodyLength = 200000;
    a.fill = 'A';
    b.fill = 'B';
    zt::TransferResult ra, rb;
    zt::TransferRequest req;
    req.name = "pkg.exe";
    req.expectedLength = 200000;
    req.folder = dir;
    std::thread ta([&] { ra = zt::RunTransfer(a, req); });
    std::thread tb([&] { rb = zt::RunTransfer(b, req); });
    ta.join();
    tb.join();
    EXPECT_TRUE(ra.stored) << ra.reason;
    EXPECT_TRUE(rb.stored) << rb.reason;
    const std::string got = ReadAll(dir / "pkg.exe");
    ASSERT_EQ(got.size(), 200000u);
    EXPECT_TRUE(got == std::string(200000, 'A') || got == std::string(200000, 'B')) << "mixed copy in round " << round;
    EXPECT_EQ(TempFilesIn(dir), 0);
  }
  fs::remove_all(dir);
}

// Temporary names carry a random part (no process id and counter that another account could make
// first), end in the tool's suffix, and those a crash left behind go after a day.
TEST(TempFiles, UnguessableNamesAndStaleOnesRemoved) {
  const fs::path dir = FreshDir("stale");
  std::set<std::string> names;
  for (int i = 0; i < 1000; ++i) {
    const fs::path p = zt::UniqueTempPath(dir, "pkg.exe");
    EXPECT_EQ(p.parent_path(), dir);
    const std::string leaf = p.filename().string();
    ASSERT_EQ(leaf.size(), std::string("pkg.exe.").size() + 16 + std::string(".ztpart").size()) << leaf;
    EXPECT_TRUE(leaf.starts_with("pkg.exe.") && leaf.ends_with(".ztpart")) << leaf;
    EXPECT_EQ(leaf.substr(8, 16).find_first_not_of("0123456789abcdef"), std::string::npos) << leaf;
    names.insert(leaf);
  }
  EXPECT_EQ(names.size(), 1000u);
  const fs::path a = zt::UniqueTempPath(dir, "pkg.exe");
  const fs::path b = zt::UniqueTempPath(dir, "pkg.exe");
  WriteAll(a, "old");
  WriteAll(b, "fresh");
  WriteAll(dir / "pkg.exe", "the real file");
  WriteAll(dir / "notes.ztpart.txt", "not ours");
  const auto now = fs::file_time_type::clock::now();
  fs::last_write_time(a, now - std::chrono::hours(25));
  fs::last_write_time(dir / "pkg.exe", now - std::chrono::hours(100));
  fs::last_write_time(dir / "notes.ztpart.txt", now - std::chrono::hours(100));
  EXPECT_EQ(zt::RemoveStaleTempFiles(dir, std::chrono::hours(24)), 1);
  EXPECT_FALSE(fs::exists(a));
  EXPECT_TRUE(fs::exists(b));
  EXPECT_TRUE(fs::exists(dir / "pkg.exe"));
  EXPECT_TRUE(fs::exists(dir / "notes.ztpart.txt"));
  EXPECT_EQ(zt::RemoveStaleTempFiles(dir / "missing", std::chrono::hours(24)), 0);
  fs::remove_all(dir);
}

// The writer writes only names of its own: a new file is new (nothing that was there first, a link
// to another file least of all, is written through), and a file written at its end has one name.
TEST(FileWriter, WritesOnlyThroughNamesOfItsOwn) {
  const fs::path dir = FreshDir("names");
  WriteAll(dir / "victim", "this user's own file");
  struct Row {
    const char* label;
    bool append;
    std::function<void(const fs::path&)> plant;  // what is at the name before
    bool written;
  };
  const auto victim = dir / "victim";
  for (const Row& r : {
           Row{"create: nothing there", false, [](const fs::path&) {}, true},
           Row{"create: a file there", false, [](const fs::path& p) { WriteAll(p, "planted"); }, false},
           Row{"create: a hard link there", false, [&](const fs::path& p) { fs::create_hard_link(victim, p); }, false},
           Row{"create: a symbolic link there", false, [&](const fs::path& p) { fs::create_symlink(victim, p); },
               false},
           Row{"append: a file of one name", true, [](const fs::path& p) { WriteAll(p, "part "); }, true},
           Row{"append: a hard link", true, [&](const fs::path& p) { fs::create_hard_link(victim, p); }, false},
           Row{"append: a symbolic link", true, [&](const fs::path& p) { fs::create_symlink(victim, p); }, false},
           Row{"append: nothing there", true, [](const fs::path&) {}, false},
       }) {
    SCOPED_TRACE(r.label);
    const fs::path name = dir / "pkg.exe.ztresume";
    fs::remove(name);
    r.plant(name);
    zt::FileWriter out;
    const bool opened = r.append ? out.Append(name) : out.Create(name);
    EXPECT_EQ(opened, r.written) << out.Problem();
    if (opened) {
      EXPECT_TRUE(out.Write("bytes") && out.Sync() && out.Close());
      EXPECT_TRUE(ReadAll(name).ends_with("bytes"));
    } else {
      EXPECT_FALSE(out.Problem().empty());
    }
    EXPECT_EQ(ReadAll(victim), "this user's own file");
  }
  EXPECT_TRUE(zt::ExtraNamesProblem(dir / "x", 2).has_value());
  EXPECT_TRUE(zt::ExtraNamesProblem(dir / "x", 0).has_value());  // uncounted is not written either
  EXPECT_FALSE(zt::ExtraNamesProblem(dir / "x", 1).has_value());
  fs::remove_all(dir);
}

TEST(CopyReplacing, ReplacesWholeOrLeavesTarget) {
  const fs::path dir = FreshDir("copy");
  std::string why;
  // The copy runs through the temporary file's own writer, block by block: sizes around a block.
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{1}, std::size_t{65536}, std::size_t{65537}, std::size_t{200000}}) {
    SCOPED_TRACE(size);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 13 % 251);
    WriteAll(dir / "src", bytes);
    WriteAll(dir / "dst", "old");
    EXPECT_TRUE(zt::CopyReplacing(dir / "src", dir / "dst", {}, why)) << why;
    EXPECT_TRUE(ReadAll(dir / "dst") == bytes);
  }
  WriteAll(dir / "src", "new bytes");
  WriteAll(dir / "dst", "old");
  EXPECT_FALSE(zt::CopyReplacing(dir / "missing", dir / "dst", {}, why));
  EXPECT_NE(why.find(zt::PathToUtf8(dir / "missing")), std::string::npos) << why;
  EXPECT_EQ(ReadAll(dir / "dst"), "old");
  const auto refuse = [](const fs::path&, const fs::path&, std::string& w) {
    w = "locked";
    return false;
  };
  EXPECT_FALSE(zt::CopyReplacing(dir / "src", dir / "dst", refuse, why));
  EXPECT_NE(why.find("locked"), std::string::npos);
  EXPECT_EQ(ReadAll(dir / "dst"), "old");
  EXPECT_EQ(TempFilesIn(dir), 0);
  fs::remove_all(dir);
}

// A write the disk refuses (here a full device) surfaces when the writer pushes or closes, so a
// temporary file with it is never committed.
TEST(FileWriter, AFullDiskFailsTheSyncAndTheClose) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  struct Row {
    const char* label;
    bool sync;
  };
  for (const Row& row : {Row{"sync, then close", true}, Row{"close alone", false}}) {
    SCOPED_TRACE(row.label);
    zt::FileWriter out;
    ASSERT_TRUE(out.Append("/dev/full"));
    EXPECT_TRUE(out.Write("buffered, not yet refused"));
    if (row.sync) {
      EXPECT_FALSE(out.Sync());
    }
    EXPECT_FALSE(out.Close());
  }
}

TEST(ServerAddress, HostAndOptionalPort) {
  struct Row {
    const char* text;
    bool ok;
    const char* host;
    std::uint16_t port;
  };
  for (const Row& r :
       {Row{"update.example.com", true, "update.example.com", 0}, Row{"127.0.0.1:8080", true, "127.0.0.1", 8080},
        Row{"h:65535", true, "h", 65535}, Row{"h:65536", false, "", 0}, Row{"h:0", false, "", 0},
        Row{"h:", false, "", 0}, Row{":80", false, "", 0}, Row{"", false, "", 0}, Row{"h:8x", false, "", 0},
        Row{"h/x", false, "", 0}, Row{"h h", false, "", 0}, Row{"h:123456", false, "", 0}}) {
    SCOPED_TRACE(r.text);
    const auto a = zt::ParseServerAddress(r.text);
    ASSERT_EQ(a.has_value(), r.ok);
    if (a) {
      EXPECT_EQ(a->host, r.host);
      EXPECT_EQ(a->port, r.port);
    }
  }
}

TEST(ServerFileNames, OnlyPlainNamesPass) {
  struct Row {
    std::string name;
    bool safe;
  };
  const std::vector<Row> rows = {{"data_update_0105.exe", true},
                                 {"ZT_AutoUpdate-2.8.exe", true},
                                 {"a", true},
                                 {std::string(100, 'x'), true},
                                 {std::string(101, 'x'), false},
                                 {"", false},
                                 {".hidden", false},
                                 {"a..b", false},
                                 {"..\\..\\Windows\\x.exe", false},
                                 {"dir/x.exe", false},
                                 {"dir\\x.exe", false},
                                 {"C:x.exe", false},
                                 {"a&calc.exe", false},
                                 {"%COMSPEC%.exe", false},
                                 {"a b.exe", false},
                                 {"a\"b", false},
                                 {"a^b", false},
                                 {"x.exe.", false},
                                 {"CON", false},
                                 {"nul.exe", false},
                                 {"Com1.txt", false},
                                 {"LPT9", false},
                                 {"COM", true},
                                 {"console.exe", true},
                                 {"COM10", true},
                                 {"名字.exe", false},
                                 {std::string("a\0b", 3), false}};
  for (const Row& r : rows) EXPECT_EQ(zt::IsSafeServerFileName(r.name), r.safe) << r.name;
}

}  // namespace
