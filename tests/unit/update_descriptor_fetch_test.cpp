#include "update/install/descriptor_fetch.h"

#include <gtest/gtest.h>

#include "base/descriptor.h"
#include "base/notice.h"
#include "tests/unit/fake_crypto.h"
#include "tests/unit/file_helpers.h"

namespace {

namespace fs = std::filesystem;
using zt::test::WriteAll;

struct ServingDownloader : zt::Downloader {
  fs::path folder;
  std::optional<std::string> body;  // nullopt: the server cannot be reached
  bool Download(const std::string& name, std::int32_t) override {
    if (!body) return false;
    WriteAll(folder / name, *body);
    return true;
  }
};

struct Floors : zt::UserState {
  std::uint64_t floor = 0;
  std::string newest;
  std::uint64_t SequenceFloor(std::string_view) override { return floor; }
  void RaiseSequenceFloor(std::string_view, std::uint64_t s) override { floor = std::max(floor, s); }
  std::string NewestKey() override { return newest; }
  void SetNewestKey(std::string_view k) override { newest = k; }
  bool UpdaterVersionFailed(std::string_view) override { return false; }
  void RememberFailedUpdaterVersion(std::string_view) override {}
  std::uint32_t RolloutBucket() override { return 0; }
};

// The worker judges what it fetched: only a descriptor the built-in key signs, not behind this
// user's floor and not larger than any descriptor, becomes the server text; a refusal says why in
// the window's text and is kept for the history.
TEST(DescriptorFetch, TheWorkerJudgesWhatItFetched) {
  const zt::PublicKey key = zt::test::FakeKey(7);
  const std::string body = "data_version=2002\r\nzt_seq=5\r\n";
  const std::string good = zt::test::FakeSigned(body, key);
  using R = zt::FetchResult;
  struct Row {
    const char* label;
    std::optional<std::string> served;
    std::uint64_t floor;
    bool laterKeyAccepted;  // a key listed after the signing one was accepted before
    R result;
    std::string serverText;  // after the fetch; "earlier" is what it held before
    std::string cause;       // of the history line ("" = none)
  };
  for (const Row& r : {
           Row{"accepted", good, 0, false, R::Accepted, zt::DecodeDescriptorBytes(good), ""},
           Row{"unreachable", std::nullopt, 0, false, R::NotFetched, "", ""},
           Row{"empty", std::string(), 0, false, R::Refused, "", "not-signed"},
           Row{"unsigned", body, 0, false, R::Refused, "", "not-signed"},
           Row{"signed by another key", zt::test::FakeSigned(body, zt::test::FakeKey(8)), 0, false, R::Refused, "",
               "bad-signature"},
           Row{"below this user's floor", good, 6, false, R::Refused, "", "below-floor"},
           Row{"signed by a key older than one accepted before", good, 0, true, R::Refused, "", "old-key"},
           Row{"larger than any descriptor", good + std::string(70 * 1024, '#'), 0, false, R::Refused, "",
               "unreadable"},
       }) {
    SCOPED_TRACE(r.label);
    const fs::path dir = fs::temp_directory_path() / "zt_fetch_test";
    fs::remove_all(dir);
    fs::create_directories(dir);
    zt::DescriptorState state;
    state.SetServerText("earlier");
    ServingDownloader dl;
    dl.folder = dir;
    dl.body = r.served;
    zt::test::FakeCrypto crypto;
    const zt::PublicKey later = zt::test::FakeKey(9);
    zt::UpdateTrust trust({key, later}, crypto);
    Floors floors;
    floors.floor = r.floor;
    if (r.laterKeyAccepted) floors.newest = zt::KeyIdOf(later);
    std::vector<zt::Outcome> kept;
    zt::DescriptorFetch fetch{state, dl, trust, floors, dir, [&](const zt::Outcome& o) { kept.push_back(o); }};
    zt::ClearInfoNotice();

    EXPECT_EQ(zt::FetchServerDescriptor(fetch), r.result);
    EXPECT_EQ(state.ServerText(), r.serverText);
    EXPECT_EQ(fs::exists(dir / "version.txt"), r.result != R::Refused && r.served.has_value());
    if (r.cause.empty()) {
      EXPECT_TRUE(kept.empty());
      EXPECT_EQ(zt::InfoNotice(), "");
    } else {
      ASSERT_EQ(kept.size(), 1u);
      EXPECT_EQ(kept[0].what, "server");
      EXPECT_EQ(kept[0].result, "refused");
      EXPECT_EQ(kept[0].cause, r.cause);
      EXPECT_EQ(zt::InfoNotice(), zt::RefusalNotice(r.cause));
      // The next good publication takes the refusal's notice down.
      floors.newest.clear();
      dl.body = zt::test::FakeSigned("data_version=2003\r\nzt_seq=9\r\n", key);
      EXPECT_EQ(zt::FetchServerDescriptor(fetch), R::Accepted);
      EXPECT_EQ(zt::InfoNotice(), "");
    }
    if (r.result == R::Accepted) {
      EXPECT_EQ(floors.floor, 5u);
    }
    fs::remove_all(dir);
  }
}

}  // namespace
