#include "app/log.h"

#include <gtest/gtest.h>

#include "tests/unit/file_helpers.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using zt::test::ReadAll;

TEST(Log, OneLinePerEventAndRotationAtTheCap) {
  const auto dir = std::filesystem::temp_directory_path() / ("zt_log_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
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

}  // namespace
