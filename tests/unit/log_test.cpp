#include "base/log.h"

#include <gtest/gtest.h>

#include "tests/unit/file_helpers.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using zt::test::ReadAll;

TEST(Log, OneLinePerEventAndRotationAtTheCap) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("zt_log_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::remove_all(dir);
  const auto log = dir / "autoupdate.log";
  zt::SetLogPath(log);
  zt::LogEvent("start", "version 2.7\r\nsecond line");
  const std::string text = ReadAll(log);
  EXPECT_NE(text.find(" start version 2.7 | second line\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find('\n'), text.size() - 1);

  const std::string big(1000, 'x');
  for (int i = 0; i < 600; ++i) zt::LogEvent("fill", big);
  EXPECT_LE(std::filesystem::file_size(log), zt::kLogMaxBytes);
  EXPECT_TRUE(std::filesystem::exists(dir / "autoupdate.log.1"));
  EXPECT_EQ(ReadAll(dir / "autoupdate.log.1").find(" start "), std::string::npos)
      << "a second rotation replaces the older file";
  zt::SetLogPath({});
  std::filesystem::remove_all(dir);
}

// A log another process holds: the first line that finds no turn is dropped after its wait, and
// the lines right after it are dropped without asking, so that several lines in a row cost one
// wait, not one each. A new path asks again.
int g_appends = 0;
bool g_logHeld = true;
bool CountedAppend(const std::filesystem::path&, std::string_view) {
  ++g_appends;
  return !g_logHeld;
}

TEST(Log, AHeldLogIsAskedOnceInAWhile) {
  zt::SetLogAppender(CountedAppend);
  zt::SetLogPath(std::filesystem::temp_directory_path() / "zt_log_held" / "autoupdate.log");
  g_appends = 0;
  g_logHeld = true;
  for (int i = 0; i < 5; ++i) zt::LogEvent("tick", "a line");
  EXPECT_EQ(g_appends, 1);
  g_logHeld = false;
  zt::LogEvent("tick", "a line");
  EXPECT_EQ(g_appends, 1) << "still within the pause";
  zt::SetLogPath(std::filesystem::temp_directory_path() / "zt_log_held" / "other.log");
  zt::LogEvent("tick", "a line");
  zt::LogEvent("tick", "a line");
  EXPECT_EQ(g_appends, 3);
  zt::SetLogPath({});
  zt::SetLogAppender(nullptr);
}

// A value from a server may be anything: one line, a bounded length, cut between characters.
TEST(Log, OutsideValuesAreEscapedAndCapped) {
  const std::string han = "华";  // 3 bytes
  struct Row {
    std::string value;
    std::string shown;
  };
  const std::string long200 = std::string(198, 'a') + han;  // 201 bytes: the character does not fit
  for (const Row& r : {Row{"2002", "2002"}, Row{"a\r\nb\x01", "a\\x0D\\x0Ab\\x01"}, Row{han + han, han + han},
                       Row{long200, std::string(198, 'a') + "... (201 bytes)"},
                       Row{std::string(1 << 20, 'v'), std::string(200, 'v') + "... (1048576 bytes)"}}) {
    EXPECT_EQ(zt::LogValue(r.value), r.shown) << r.value.size();
  }
  // Whatever reaches the log, a line stays bounded.
  const auto dir = std::filesystem::temp_directory_path() / "zt_log_cap";
  std::filesystem::remove_all(dir);
  zt::SetLogPath(dir / "autoupdate.log");
  zt::LogEvent("descriptor", std::string(1 << 20, 'x'));
  EXPECT_LE(std::filesystem::file_size(dir / "autoupdate.log"), zt::kLogLineMaxBytes + 64);
  zt::SetLogPath({});
  std::filesystem::remove_all(dir);
}

}  // namespace
