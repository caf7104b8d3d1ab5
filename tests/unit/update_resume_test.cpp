// The resumable download against a scripted server: which request follows a kept part, what is
// appended and what starts over, reconnects within a call, and the server's request to wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/notice.h"
#include "tests/unit/file_helpers.h"
#include "update/net/disk_space.h"
#include "update/net/resume.h"
#include "update/net/retry_after.h"
#include "update/net/server_address.h"
#include "update/install/temp_file.h"
#include "update/net/transfer.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zt::test::ReadAll;
using zt::test::WriteAll;

constexpr char kOrigin[] = "http://h:80";

zt::HttpAnswer Answer(int status, std::uint64_t announced, std::string etag = {}, std::string contentRange = {},
                      std::string retryAfter = {}) {
  zt::HttpAnswer a;
  a.ok = true;
  a.status = status;
  a.announced = announced;
  a.etag = std::move(etag);
  a.contentRange = std::move(contentRange);
  a.retryAfter = std::move(retryAfter);
  return a;
}

zt::HttpAnswer NoAnswer(std::string reason) {
  zt::HttpAnswer a;
  a.reason = std::move(reason);
  return a;
}

zt::HttpRead Got(std::size_t bytes) {
  zt::HttpRead r;
  r.ok = true;
  r.bytes = bytes;
  return r;
}

zt::HttpRead Lost(std::string reason) {
  zt::HttpRead r;
  r.reason = std::move(reason);
  return r;
}

std::string Bytes(std::size_t n, char seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + static_cast<unsigned char>(seed)) % 251);
  return s;
}

fs::path FreshDir(const std::string& tag) {
  const auto dir = fs::temp_directory_path() /
                   ("zt_resume_" + tag + "_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// A static server's answers to range requests, with the faults of real ones.
struct RangeServer : zt::HttpSource {
  enum class Ranges { Honoured, Ignored, AlwaysPartial, Unsatisfiable, WrongStart };
  std::string file;
  std::string etag = "\"v1\"";
  Ranges ranges = Ranges::Honoured;
  std::size_t dropEvery = 0;  // each connection ends after this many body bytes (0: never)
  int failOpensFrom = 0;      // from this request on there is no answer (0: never)
  int status = 0;             // answer every request with this status instead (0: serve)
  std::string retryAfter;
  std::vector<zt::HttpGet> requests;
  std::string body;
  std::size_t pos = 0, sentThisConnection = 0;
  std::uint64_t bytesSent = 0;

  zt::HttpAnswer Open(const zt::HttpGet& get) override {
    requests.push_back(get);
    sentThisConnection = 0;
    pos = 0;
    if (failOpensFrom != 0 && static_cast<int>(requests.size()) >= failOpensFrom) return NoAnswer("refused");
    if (status != 0) return Answer(status, 0, {}, {}, retryAfter);
    const bool rangeAsked = get.from > 0;
    const bool same = get.ifRange.empty() || get.ifRange == etag;
    bool partial = rangeAsked && same && ranges == Ranges::Honoured;
    if (rangeAsked && (ranges == Ranges::AlwaysPartial || ranges == Ranges::WrongStart)) partial = true;
    if (rangeAsked && ranges == Ranges::Unsatisfiable) return Answer(416, 0);
    if (!partial) {
      body = file;
      return Answer(200, file.size(), etag);
    }
    const std::uint64_t first = ranges == Ranges::WrongStart ? get.from - 1 : get.from;
    body = file.substr(first);
    return Answer(
        206, body.size(), etag,
        "bytes " + std::to_string(first) + "-" + std::to_string(file.size() - 1) + "/" + std::to_string(file.size()));
  }
  zt::HttpRead Read(char* buffer, std::size_t size) override {
    std::size_t n = std::min(size, body.size() - pos);
    if (dropEvery != 0) {
      if (sentThisConnection >= dropEvery && pos < body.size()) return Lost("connection reset");
      n = std::min(n, dropEvery - sentThisConnection);
    }
    std::copy_n(body.data() + pos, n, buffer);
    pos += n;
    sentThisConnection += n;
    bytesSent += n;
    return Got(n);
  }
};

zt::TransferRequest Request(const fs::path& dir, std::size_t length, std::vector<unsigned>* progress = nullptr) {
  zt::TransferRequest r;
  r.name = "pkg.exe";
  r.expectedLength = static_cast<std::int32_t>(length);
  r.folder = dir;
  r.origin = kOrigin;
  r.reconnectPause = 0ms;
  if (progress) r.progress = [progress](unsigned p) { progress->push_back(p); };
  return r;
}

void KeepPart(const fs::path& dir, const std::string& bytes, const std::string& origin, std::size_t length,
              const std::string& validator) {
  WriteAll(zt::ResumablePartPath(dir, "pkg.exe"), bytes);
  WriteAll(zt::ResumableRecordPath(dir, "pkg.exe"),
           "origin=" + origin + "\nname=pkg.exe\nlength=" + std::to_string(length) + "\nvalidator=" + validator + "\n");
}

struct ResumeCase {
  const char* label;
  std::string keptOrigin;
  std::size_t keptLength;  // the record's length (the file's is 40000)
  std::string keptValidator;
  std::size_t keptBytes;  // of the server's old copy
  bool serverChanged;     // the server now has other bytes and another ETag
  RangeServer::Ranges ranges;
  std::vector<std::uint64_t> requestedFrom;
  std::uint64_t fetched;
};

constexpr std::size_t kLen = 40000;
using R = RangeServer::Ranges;

class ResumeDecisions : public ::testing::TestWithParam<ResumeCase> {};

TEST_P(ResumeDecisions, EndWithTheServersFileWhole) {
  const ResumeCase& c = GetParam();
  const fs::path dir = FreshDir(c.label);
  const std::string oldCopy = Bytes(kLen, 'a'), newCopy = Bytes(kLen, 'b');
  KeepPart(dir, oldCopy.substr(0, c.keptBytes), c.keptOrigin, c.keptLength, c.keptValidator);
  RangeServer server;
  server.file = c.serverChanged ? newCopy : oldCopy;
  server.etag = c.serverChanged ? "\"v2\"" : "\"v1\"";
  server.ranges = c.ranges;
  std::vector<unsigned> progress;

  const zt::TransferResult r = zt::RunTransfer(server, Request(dir, kLen, &progress));

  ASSERT_TRUE(r.stored) << r.reason;
  EXPECT_EQ(ReadAll(dir / "pkg.exe"), server.file);
  std::vector<std::uint64_t> from;
  for (const auto& g : server.requests) {
    from.push_back(g.from);
    // A range is only ever asked for the copy the part came from.
    EXPECT_EQ(g.ifRange, g.from > 0 ? "\"v1\"" : "") << g.from;
  }
  EXPECT_EQ(from, c.requestedFrom);
  EXPECT_EQ(r.fetched, c.fetched);
  EXPECT_EQ(server.bytesSent, c.fetched);
  // The bar starts at the share in hand, and goes back to 0 when the part starts over.
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.front(), c.requestedFrom.front() * 100 / kLen);
  EXPECT_EQ(progress.back(), 100u);
  EXPECT_FALSE(fs::exists(zt::ResumablePartPath(dir, "pkg.exe")));
  EXPECT_FALSE(fs::exists(zt::ResumableRecordPath(dir, "pkg.exe")));
  fs::remove_all(dir);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Kept, ResumeDecisions,
    ::testing::Values(
        ResumeCase{"continues",          kOrigin,       kLen,     "\"v1\"", 15000, false, R::Honoured,      {15000},    kLen - 15000},
        ResumeCase{"changed_gives_200",  kOrigin,       kLen,     "\"v1\"", 15000, true,  R::Honoured,      {15000},    kLen},
        ResumeCase{"ranges_ignored",     kOrigin,       kLen,     "\"v1\"", 15000, false, R::Ignored,       {15000},    kLen},
        ResumeCase{"wrong_start",        kOrigin,       kLen,     "\"v1\"", 15000, false, R::WrongStart,    {15000, 0}, kLen},
        ResumeCase{"unsatisfiable",      kOrigin,       kLen,     "\"v1\"", 15000, false, R::Unsatisfiable, {15000, 0}, kLen},
        ResumeCase{"other_server",       "http://g:80", kLen,     "\"v1\"", 15000, false, R::Honoured,      {0},        kLen},
        ResumeCase{"other_length",       kOrigin,       kLen + 1, "\"v1\"", 15000, false, R::Honoured,      {0},        kLen},
        ResumeCase{"no_validator",       kOrigin,       kLen,     "",       15000, false, R::Honoured,      {0},        kLen},
        ResumeCase{"part_not_shorter",   kOrigin,       kLen,     "\"v1\"", kLen,  false, R::Honoured,      {0},        kLen}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

// A server that answers 206 whatever If-Range says joins the old copy's start to the new copy's
// end: the loop cannot tell (the signed hash does, in the procedures), but the length holds.
TEST(ResumeFaults, PartialWhateverIfRangeSaysGivesAJoinedCopyOfTheRightLength) {
  const fs::path dir = FreshDir("joined");
  const std::string oldCopy = Bytes(kLen, 'a'), newCopy = Bytes(kLen, 'b');
  KeepPart(dir, oldCopy.substr(0, 10000), kOrigin, kLen, "\"v1\"");
  RangeServer server;
  server.file = newCopy;
  server.etag = "\"v2\"";
  server.ranges = R::AlwaysPartial;
  const auto r = zt::RunTransfer(server, Request(dir, kLen));
  ASSERT_TRUE(r.stored) << r.reason;
  EXPECT_EQ(ReadAll(dir / "pkg.exe"), oldCopy.substr(0, 10000) + newCopy.substr(10000));
  fs::remove_all(dir);
}

TEST(ResumeReconnects, ADroppingLinkCompletesInOneCallWithoutRefetching) {
  struct Row {
    const char* label;
    std::string etag;
    std::size_t dropEvery;
    bool stored;
    int connections;
    bool partKept;
  };
  // clang-format off
  for (const Row& row : {Row{"drops",              "\"v1\"", 6000, true,  7, false},
                         Row{"no_validator",       "",       6000, false, 1, false},
                         Row{"never_drops",        "\"v1\"", 0,    true,  1, false}}) {
    // clang-format on
    SCOPED_TRACE(row.label);
    const fs::path dir = FreshDir(row.label);
    RangeServer server;
    server.file = Bytes(kLen, 'c');
    server.etag = row.etag;
    server.dropEvery = row.dropEvery;
    const auto r = zt::RunTransfer(server, Request(dir, kLen));
    EXPECT_EQ(r.stored, row.stored) << r.reason;
    EXPECT_EQ(r.connections, row.connections);
    EXPECT_EQ(static_cast<int>(server.requests.size()), row.connections);
    if (row.stored) {
      EXPECT_EQ(ReadAll(dir / "pkg.exe"), server.file);
      EXPECT_EQ(server.bytesSent, kLen) << "bytes fetched twice";
    } else {
      EXPECT_FALSE(fs::exists(dir / "pkg.exe"));
    }
    EXPECT_EQ(fs::exists(zt::ResumablePartPath(dir, "pkg.exe")), row.partKept);
    fs::remove_all(dir);
  }
}

// A call that fails part-way keeps its part; the next call continues it and the whole file costs
// one file's bytes.
TEST(ResumeReconnects, ThePartOfAFailedCallIsContinuedByTheNext) {
  const fs::path dir = FreshDir("next_call");
  RangeServer server;
  server.file = Bytes(kLen, 'd');
  server.dropEvery = 9000;
  server.failOpensFrom = 3;  // two connections bring 18000 bytes, then the server is gone
  const auto first = zt::RunTransfer(server, Request(dir, kLen));
  EXPECT_FALSE(first.stored);
  EXPECT_EQ(first.received, 18000u);
  EXPECT_EQ(fs::file_size(zt::ResumablePartPath(dir, "pkg.exe")), 18000u);
  EXPECT_FALSE(fs::exists(dir / "pkg.exe"));

  server.failOpensFrom = 0;
  server.requests.clear();
  std::vector<unsigned> progress;
  const auto second = zt::RunTransfer(server, Request(dir, kLen, &progress));
  ASSERT_TRUE(second.stored) << second.reason;
  EXPECT_EQ(second.resumedFrom, 18000u);
  EXPECT_EQ(server.requests.front().from, 18000u);
  EXPECT_EQ(ReadAll(dir / "pkg.exe"), server.file);
  EXPECT_EQ(server.bytesSent, kLen);
  EXPECT_EQ(progress.front(), 45u);
  fs::remove_all(dir);
}

// The cap holds for the whole file: a server that sends more than the range it announced is never
// read beyond it.
TEST(ResumeLimits, CapCountsTheKeptPart) {
  const fs::path dir = FreshDir("cap");
  const std::size_t cap = zt::kDownloadBufferSize;
  struct Overlong : RangeServer {
    zt::HttpAnswer Open(const zt::HttpGet& get) override {
      zt::HttpAnswer a = RangeServer::Open(get);
      body += std::string(50000, 'x');  // beyond the end of the file
      return a;
    }
  } server;
  server.file = Bytes(cap, 'e');
  KeepPart(dir, server.file.substr(0, cap - 1000), kOrigin, cap, "\"v1\"");
  const auto r = zt::RunTransfer(server, Request(dir, cap));
  ASSERT_TRUE(r.stored) << r.reason;
  EXPECT_EQ(server.bytesSent, 1000u);
  EXPECT_EQ(fs::file_size(dir / "pkg.exe"), cap);
  fs::remove_all(dir);
}

TEST(ResumeLimits, ATrickleIsStoppedAndItsPartKept) {
  const fs::path dir = FreshDir("trickle");
  struct Trickle : RangeServer {
    zt::HttpRead Read(char* buffer, std::size_t) override {
      std::this_thread::sleep_for(5ms);
      return RangeServer::Read(buffer, 10);
    }
  } server;
  server.file = Bytes(kLen, 'f');
  zt::TransferRequest request = Request(dir, kLen);
  request.rateWindow = 100ms;
  request.minimumRate = 10000;  // per 100 ms; the trickle brings about 200 bytes
  const auto start = std::chrono::steady_clock::now();
  const auto r = zt::RunTransfer(server, request);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_FALSE(r.stored);
  EXPECT_NE(r.reason.find("slower than"), std::string::npos) << r.reason;
  EXPECT_EQ(r.connections, 1);
  EXPECT_GT(fs::file_size(zt::ResumablePartPath(dir, "pkg.exe")), 0u);
  fs::remove_all(dir);
}

// Parts survive restarts and the day-old clean-up of temporary files; only week-old ones go.
TEST(ResumeParts, KeptAcrossTheDailyCleanUpAndRemovedAfterAWeek) {
  const fs::path dir = FreshDir("stale");
  const auto now = fs::file_time_type::clock::now();
  struct Row {
    std::string leaf;
    std::chrono::hours age;
    bool removedByTemp, removedByParts;
  };
  const std::vector<Row> rows = {{"a.exe.ztresume", 48h, false, false},  {"a.exe.ztresume.info", 48h, false, false},
                                 {"b.exe.ztresume", 200h, false, true},  {"b.exe.ztresume.info", 200h, false, true},
                                 {"c.exe.1-2.ztpart", 48h, true, false}, {"d.exe", 500h, false, false}};
  for (const Row& r : rows) {
    WriteAll(dir / r.leaf, "x");
    fs::last_write_time(dir / r.leaf, now - r.age);
  }
  EXPECT_EQ(zt::RemoveStaleTempFiles(dir, 24h), 1);
  EXPECT_EQ(zt::RemoveStaleResumableParts(dir, 24h * 7), 2);
  for (const Row& r : rows) EXPECT_EQ(fs::exists(dir / r.leaf), !(r.removedByTemp || r.removedByParts)) << r.leaf;
  fs::remove_all(dir);
}

// A kept part that has another name too (another account linked it to a file of this user) is
// never appended to: its name goes, the other file stays as it was, and the next call fetches the
// file whole into a part of its own.
TEST(ResumeParts, APartWithAnotherNameIsNeverWrittenThrough) {
  const fs::path dir = FreshDir("linked");
  RangeServer server;
  server.file = Bytes(kLen, 'e');
  const std::string victim = server.file.substr(0, 10000);
  WriteAll(dir / "victim", victim);
  KeepPart(dir, "", kOrigin, kLen, server.etag);
  fs::remove(zt::ResumablePartPath(dir, "pkg.exe"));
  fs::create_hard_link(dir / "victim", zt::ResumablePartPath(dir, "pkg.exe"));
  const auto first = zt::RunTransfer(server, Request(dir, kLen));
  EXPECT_FALSE(first.stored);
  EXPECT_NE(first.reason.find("hard links"), std::string::npos) << first.reason;
  EXPECT_FALSE(fs::exists(zt::ResumablePartPath(dir, "pkg.exe")));
  EXPECT_EQ(ReadAll(dir / "victim"), victim);
  const auto second = zt::RunTransfer(server, Request(dir, kLen));
  ASSERT_TRUE(second.stored) << second.reason;
  EXPECT_EQ(ReadAll(dir / "pkg.exe"), server.file);
  EXPECT_EQ(ReadAll(dir / "victim"), victim);
  fs::remove_all(dir);
}

TEST(RetryAfter, SecondsAndHttpDatesCappedAtADay) {
  using std::chrono::seconds;
  const auto now = std::chrono::sys_days(std::chrono::year(2026) / 3 / 1) + 12h;  // Sun, 01 Mar 2026 12:00:00
  struct Row {
    const char* value;
    std::optional<seconds> wait;
  };
  // clang-format off
  for (const Row& row : {Row{"120", seconds(120)},
                         Row{" 0 ", seconds(0)},
                         Row{"86400", seconds(86400)},
                         Row{"86401", seconds(86400)},
                         Row{"99999999999999999999", seconds(86400)},
                         Row{"-5", std::nullopt},
                         Row{"1.5", std::nullopt},
                         Row{"", std::nullopt},
                         Row{"Sun, 01 Mar 2026 12:01:30 GMT", seconds(90)},
                         Row{"Sunday, 01-Mar-26 12:01:30 GMT", seconds(90)},
                         Row{"Sun Mar  1 12:01:30 2026", seconds(90)},
                         Row{"Sun, 01 Mar 2026 11:00:00 GMT", seconds(0)},
                         Row{"Wed, 04 Mar 2026 12:00:00 GMT", seconds(86400)},
                         Row{"Sat, 28 Feb 2026 23:59:60 GMT", seconds(0)},
                         Row{"Mon, 30 Feb 2026 12:00:00 GMT", std::nullopt},
                         Row{"Sun, 01 Mar 2026 25:00:00 GMT", std::nullopt},
                         Row{"Sun, 01 Foo 2026 12:00:00 GMT", std::nullopt},
                         Row{"soon", std::nullopt}}) {
    // clang-format on
    EXPECT_EQ(zt::ParseRetryAfter(row.value, now), row.wait) << row.value;
  }
}

// A 503 with Retry-After: the server is asked nothing more until then, by any transfer of this
// process; another server is.
TEST(RetryAfter, AServerThatAskedToWaitIsNotAsked) {
  const fs::path dir = FreshDir("wait");
  zt::ServerPauses pauses;
  RangeServer busy;
  busy.status = 503;
  busy.retryAfter = "60";
  zt::TransferRequest request = Request(dir, 0);
  request.name = "version.txt";
  request.pauses = &pauses;
  const auto first = zt::RunTransfer(busy, request);
  EXPECT_FALSE(first.stored);
  EXPECT_EQ(first.retryAfter, std::chrono::seconds(60));
  const auto second = zt::RunTransfer(busy, request);
  EXPECT_FALSE(second.stored);
  EXPECT_EQ(busy.requests.size(), 1u);
  EXPECT_NE(second.reason.find("Retry-After"), std::string::npos) << second.reason;
  const auto until = pauses.PausedUntil(kOrigin, std::chrono::steady_clock::now());
  ASSERT_TRUE(until.has_value());
  EXPECT_GT(*until - std::chrono::steady_clock::now(), 55s);

  RangeServer other;
  other.file = "data_version=1\n";
  request.origin = "http://other:80";
  EXPECT_TRUE(zt::RunTransfer(other, request).stored);
  EXPECT_FALSE(pauses.PausedUntil(kOrigin, std::chrono::steady_clock::now() + 61s).has_value());
  fs::remove_all(dir);
}

TEST(ServerSetting, SchemeHostAndPort) {
  struct Row {
    const char* text;
    bool ok;
    const char* origin;
  };
  // clang-format off
  for (const Row& r : {Row{"updates.example.com", true, "http://updates.example.com:80"},
                       Row{"h:8080", true, "http://h:8080"},
                       Row{"http://h", true, "http://h:80"},
                       Row{"https://h", true, "https://h:443"},
                       Row{"HTTPS://h:8443/", true, "https://h:8443"},
                       Row{"https://localhost:1", true, "https://localhost:1"},
                       Row{"ftp://h", false, ""},
                       Row{"https://", false, ""},
                       Row{"https://h:0", false, ""},
                       Row{"https://h/autoupdate", false, ""},
                       Row{"https//h", false, ""},
                       Row{"https://user@h", false, ""}}) {
    // clang-format on
    SCOPED_TRACE(r.text);
    const auto a = zt::ParseServerAddress(r.text);
    ASSERT_EQ(a.has_value(), r.ok);
    if (a) {
      EXPECT_EQ(a->Origin(), r.origin);
    }
  }
}

TEST(DiskSpace, TwiceTheLengthAndAMargin) {
  constexpr std::uint64_t MiB = zt::kMiB;
  struct Row {
    std::uint64_t length, free;
    bool enough;
    std::uint64_t neededMiB, freeMiB;
  };
  // clang-format off
  for (const Row& r : {Row{25 * MiB, 66 * MiB,     true,  0,  0},
                       Row{25 * MiB, 66 * MiB - 1, false, 66, 65},
                       Row{25 * MiB + 1, 66 * MiB, false, 67, 66},
                       Row{1, 0,                   false, 17, 0}}) {
    // clang-format on
    const auto s = zt::CheckSpace(r.length, r.free);
    ASSERT_EQ(!s.has_value(), r.enough) << r.length << " " << r.free;
    if (s) {
      EXPECT_EQ(s->neededMiB, r.neededMiB);
      EXPECT_EQ(s->freeMiB, r.freeMiB);
      EXPECT_NE(s->noticeText.find("需要 " + std::to_string(r.neededMiB) + " MiB"), std::string::npos);
      EXPECT_NE(s->noticeText.find("可用 " + std::to_string(r.freeMiB) + " MiB"), std::string::npos);
    }
  }
}

// The volume is asked only for a file of known length; a volume that cannot tell lets the download
// go (its write will tell); a shortfall refuses it and tells the main window.
TEST(DiskSpace, RefusalOnlyForAKnownShortfall) {
  constexpr std::uint64_t MiB = zt::kMiB;
  struct Row {
    const char* label;
    std::int32_t length;
    std::optional<std::uint64_t> free;
    bool asked;
    std::string refusal, notice;  // "" for none
  };
  const std::int32_t kLength = 25 * 1024 * 1024;
  for (const Row& r :
       {Row{"unknown length", 0, 0, false, "", ""}, Row{"negative length", -1, 0, false, "", ""},
        Row{"volume cannot tell", kLength, std::nullopt, true, "", ""}, Row{"room", kLength, 66 * MiB, true, "", ""},
        Row{"no room", kLength, 39 * MiB, true, "not enough free space: 66 MiB needed, 39 MiB free",
            "磁盘空间不足：需要 66 MiB，可用 39 MiB。"}}) {
    SCOPED_TRACE(r.label);
    zt::ClearInfoNotice();
    bool asked = false;
    const auto refusal = zt::SpaceRefusal(r.length, [&] {
      asked = true;
      return r.free;
    });
    EXPECT_EQ(asked, r.asked);
    EXPECT_EQ(refusal.value_or(""), r.refusal);
    EXPECT_EQ(zt::InfoNotice(), r.notice);
  }
  zt::ClearInfoNotice();
}

}  // namespace
