#include <gtest/gtest.h>

#include <vector>

#include "ui/fetch_backoff.h"

namespace zt {
namespace {

// Drives the refresh as the window does (ticks 1, 4, 7, ...) against a fetch whose result is
// given per tick, and returns the ticks at which a fetch ran.
std::vector<std::uint32_t> FetchTicks(std::uint32_t lastTick, bool (*succeeds)(std::uint32_t)) {
  FetchBackoff b;
  std::vector<std::uint32_t> fetched;
  for (std::uint32_t tick = 1; tick <= lastTick; tick += 3) {
    if (!b.Due(tick)) continue;
    fetched.push_back(tick);
    b.Record(tick, succeeds(tick));
  }
  return fetched;
}

TEST(FetchBackoffTest, WaitDoublesFromThreeToThreeHundred) {
  FetchBackoff b;
  EXPECT_TRUE(b.Due(0));
  const std::uint32_t expected[] = {3, 6, 12, 24, 48, 96, 192, 300, 300, 300};
  std::uint32_t tick = 10;
  for (std::uint32_t wait : expected) {
    b.Record(tick, false);
    EXPECT_EQ(b.Wait(), wait);
    EXPECT_FALSE(b.Due(tick + wait - 1)) << "wait " << wait;
    EXPECT_TRUE(b.Due(tick + wait)) << "wait " << wait;
    tick += wait;
  }
  EXPECT_EQ(b.Failures(), 10u);
  b.Record(tick, true);
  EXPECT_EQ(b.Wait(), 3u);
  EXPECT_EQ(b.Failures(), 0u);
  EXPECT_FALSE(b.Due(tick + 2));
  EXPECT_TRUE(b.Due(tick + 3));
  b.Record(tick + 3, false);  // after a success the doubling starts over
  EXPECT_EQ(b.Wait(), 3u);
}

TEST(FetchBackoffTest, RefreshScheduleTable) {
  struct Row {
    const char* name;
    std::uint32_t lastTick;
    bool (*succeeds)(std::uint32_t);
    std::vector<std::uint32_t> expected;
  };
  const Row rows[] = {
      {"always ok: every refresh", 16, [](std::uint32_t) { return true; }, {1, 4, 7, 10, 13, 16}},
      {"always failing: spaced out",
       200,
       [](std::uint32_t) { return false; },
       // waits 3, 6, 12, 24, 48, 96 rounded up to the next refresh tick
       {1, 4, 10, 22, 46, 94, 190}},
      {"recovers at tick 22", 40, [](std::uint32_t t) { return t >= 22; }, {1, 4, 10, 22, 25, 28, 31, 34, 37, 40}},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(FetchTicks(r.lastTick, r.succeeds), r.expected) << r.name;
  }
}

TEST(FetchBackoffTest, DeadServerCostsFewFetchesPerHour) {
  // 3600 ticks of a dead network: at most a handful of 5-second fetches, not 1200.
  const auto ticks = FetchTicks(3600, [](std::uint32_t) { return false; });
  EXPECT_LE(ticks.size(), 20u);
  EXPECT_GE(ticks.size(), 15u);
}

}  // namespace
}  // namespace zt
