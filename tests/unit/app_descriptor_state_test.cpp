#include "base/descriptor_state.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class AppDescriptorState : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zt_state_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const fs::path& file, const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; }

  fs::path dir_;
  zt::DescriptorState state_;
};

TEST_F(AppDescriptorState, LoadLocalVersion) {
  const struct {
    const char* what;
    bool present;
    std::string bytes;
    bool result;
    std::string version, time, desc;
    zt::LocalRead read = zt::LocalRead::Loaded;
  } cases[] = {
      {"complete, CR LF, GBK region", true,
       "data_version=2001\r\ndata_time=2020-01-01\r\ndata_desc=\xB6\xAB\xB1\xB1\r\ndata_file=d.exe\r\n", true, "2001",
       "2020-01-01", "\xB6\xAB\xB1\xB1"},
      {"region may be missing", true, "data_version=2001\ndata_time=2020\n", true, "2001", "2020", ""},
      {"time missing", true, "data_version=2001\ndata_desc=x\n", false, "2001", "", "x"},
      {"empty file", true, "", false, "", "", ""},
      {"cut at 0x1A", true,
       "data_version=2001\n\x1A"
       "data_time=2020\n",
       false, "2001", "", ""},
      {"missing file", false, "", false, "", "", "", zt::LocalRead::Missing},
      // There, but not read: a new version that cannot read what the previous one read is not kept.
      {"too large", true, "data_version=2001\n" + std::string(70000, 'x'), false, "", "", "",
       zt::LocalRead::Unreadable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Start from a loaded state so that a failed load visibly empties everything.
    Write(dir_ / "version.txt", "data_version=1\ndata_time=old\ndata_desc=old\n");
    ASSERT_TRUE(state_.LoadLocalVersion(dir_));
    if (c.present) {
      Write(dir_ / "version.txt", c.bytes);
    } else {
      fs::remove(dir_ / "version.txt");
    }
    EXPECT_EQ(state_.LoadLocalVersion(dir_), c.result);
    const zt::LocalDescriptor local = state_.Local();
    EXPECT_EQ(local.dataVersion, c.version);
    EXPECT_EQ(local.dataTime, c.time);
    EXPECT_EQ(local.dataDesc, c.desc);
    EXPECT_EQ(state_.DataVersion(), c.version);
    EXPECT_EQ(state_.LastLocalRead(), c.read);
    if (!c.present) {
      EXPECT_EQ(local.text, "");
    }
  }
}

TEST_F(AppDescriptorState, CompareAndClearEmptiesOnlyTheTextItRead) {
  state_.SetServerText("A");
  const std::string seenByWorker = state_.ServerText();
  state_.SetServerText("B");  // a newer fetch lands before the worker clears
  EXPECT_FALSE(state_.ClearServerTextIf(seenByWorker));
  EXPECT_EQ(state_.ServerText(), "B");
  EXPECT_TRUE(state_.ClearServerTextIf("B"));
  EXPECT_EQ(state_.ServerText(), "");
}

}  // namespace
