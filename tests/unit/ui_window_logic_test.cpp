#include <gtest/gtest.h>

#include <string>

#include "base/ids.h"
#include "ui/window_logic.h"

namespace zt {
namespace {

TEST(StartModeTest, ArgumentOneDecides) {
  struct Row {
    int count;
    const char* arg1;
    StartMode expected;
  };
  const Row rows[] = {
      {0, "", StartMode::NoArguments},
      {0, "/autohide", StartMode::NoArguments},  // count 0 wins, whatever GetArg would say
      {-1, "", StartMode::NoArguments},
      {1, "/autohide", StartMode::Hidden},
      {1, "/AUTOHIDE", StartMode::Hidden},
      {1, "x/autohidex", StartMode::Hidden},
      {2, "-AutoHide", StartMode::Hidden},
      {1, "autohid", StartMode::Visible},
      {1, "/auto hide", StartMode::Visible},
      {1, "", StartMode::Visible},
      {1, "/hide", StartMode::Visible},
      {1, "ＡＵＴＯＨＩＤＥ", StartMode::Visible},  // full-width letters are not ASCII
  };
  for (const Row& r : rows) {
    EXPECT_EQ(DecideStartMode(r.count, r.arg1), r.expected) << r.count << " '" << r.arg1 << "'";
  }
}

TEST(InfoTextTest, WaitingOrValues) {
  EXPECT_TRUE(LocalFilesMissing(false, true));
  EXPECT_TRUE(LocalFilesMissing(false, false));
  EXPECT_TRUE(LocalFilesMissing(true, false));
  EXPECT_FALSE(LocalFilesMissing(true, true));

  const std::string filled =
      "\r\n数据版本: 9320\r\n\r\n更新日期: 2026-11-30\r\n\r\n更新区域: 全国\r\n"
      "\r\n\r\n后台运行时若有新数据版本发布将自动下载。\r\n\r\n当设备连接时可自动检测并提示升级。";
  const std::string empty =
      "\r\n数据版本: \r\n\r\n更新日期: \r\n\r\n更新区域: \r\n"
      "\r\n\r\n后台运行时若有新数据版本发布将自动下载。\r\n\r\n当设备连接时可自动检测并提示升级。";
  struct Row {
    bool missing, busy;
    const char *v, *t, *d;
    std::string expected;
  };
  const Row rows[] = {
      {false, false, "9320", "2026-11-30", "全国", filled},
      {false, false, "", "", "", empty},
      {true, false, "9320", "2026-11-30", "全国", "\r\n正在更新，请稍候...."},
      {false, true, "9320", "2026-11-30", "全国", "\r\n正在更新，请稍候...."},
      {true, true, "", "", "", "\r\n正在更新，请稍候...."},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(BuildInfoText(r.missing, r.busy, r.v, r.t, r.d), r.expected) << r.missing << r.busy;
    // A notice takes the place of the waiting text (it says why nothing comes), or follows the
    // data's lines on a line of its own.
    EXPECT_EQ(BuildInfoText(r.missing, r.busy, r.v, r.t, r.d, "磁盘空间不足"),
              r.missing || r.busy ? "\r\n磁盘空间不足" : r.expected + "\r\n\r\n磁盘空间不足");
  }
}

TEST(WorkerMessageTest, ReactionTable) {
  using O = ProgressOwner;
  struct Row {
    unsigned msg;
    std::uintptr_t wp;
    bool visible;
    O owner, ownerAfter;  // whose download the progress window shows before and after
    std::optional<std::string> balloon;
    std::optional<std::string> show;
    std::optional<int> set;
    bool hide;
    std::optional<bool> busy;
    bool refresh;
    bool destroy;
  };
  const std::string upd = "检测到新版本，自动升级工具正在下载...";
  const std::string dat = "正在从服务器下载最新升级包...";
  // One row a case, kept as written.
  // clang-format off
  const Row rows[] = {
      {WM_UPDATER_DOWNLOADING, 0, true, O::None, O::Updater, upd, upd, {}, false, true, false, false},
      {WM_UPDATER_DOWNLOADING, 0, false, O::None, O::None, upd, {}, {}, false, true, false, false},
      {WM_DATA_DOWNLOADING, 0, true, O::Updater, O::Data, dat, dat, {}, false, true, false, false},
      {WM_DATA_DOWNLOADING, 0, false, O::None, O::None, dat, {}, {}, false, true, false, false},
      // The old version says nothing of a success that has not happened yet: it only ends.
      {WM_UPDATER_DONE, 1, true, O::Updater, O::Updater, {}, {}, {}, false, false, false, true},
      {WM_UPDATER_DONE, 7, false, O::None, O::None, {}, {}, {}, false, false, false, true},
      // A failed updater download takes the balloon down and closes its progress window, but not
      // one that shows the data download.
      {WM_UPDATER_DONE, 0, true, O::Updater, O::None, "", {}, {}, true, false, false, false},
      {WM_UPDATER_DONE, 0, true, O::Data, O::Data, "", {}, {}, false, false, false, false},
      {WM_DATA_DONE, 1, true, O::Data, O::None, "最新升级数据已下载完成。\r\n版本:9320 发布日期:2026-11-30", {}, {}, true,
       false, true, false},
      {WM_DATA_DONE, 0, false, O::Updater, O::None, "", {}, {}, true, false, true, false},
      {WM_DOWNLOAD_PROGRESS, 42, true, O::Data, O::Data, {}, {}, 42, false, {}, false, false},
      {WM_DOWNLOAD_PROGRESS, 150, false, O::None, O::None, {}, {}, 150, false, {}, false, false},
      {WM_DOWNLOAD_PROGRESS, static_cast<std::uintptr_t>(-5), true, O::Updater, O::Updater, {}, {}, -5, false, {}, false,
       false},
  };
  // clang-format on
  for (const Row& r : rows) {
    const WorkerReaction got = ReactToWorkerMessage(r.msg, r.wp, r.visible, r.owner, "9320", "2026-11-30");
    SCOPED_TRACE(testing::Message() << std::hex << r.msg << " wp=" << r.wp << " visible=" << r.visible);
    EXPECT_TRUE(got.handled);
    EXPECT_EQ(got.balloon, r.balloon);
    EXPECT_EQ(got.showProgress, r.show);
    EXPECT_EQ(got.setProgress, r.set);
    EXPECT_EQ(got.hideProgress, r.hide);
    EXPECT_EQ(got.progressOwner, r.ownerAfter);
    EXPECT_EQ(got.busy, r.busy);
    EXPECT_EQ(got.refreshInfo, r.refresh);
    EXPECT_EQ(got.destroy, r.destroy);
  }
  // Every message of the workers' list has its reaction; no other message has one.
  for (unsigned listed : kWorkerMessages)
    EXPECT_TRUE(ReactToWorkerMessage(listed, 1, true, ProgressOwner::None, "1", "2").handled) << listed;
  for (unsigned other : {0x0590u, 0x0595u, 0x0599u, WM_TRAY_NOTIFY}) {
    const WorkerReaction got = ReactToWorkerMessage(other, 1, true, ProgressOwner::None, "1", "2");
    EXPECT_FALSE(got.handled) << other;
    EXPECT_FALSE(got.balloon.has_value());
    EXPECT_FALSE(got.destroy);
  }
}

TEST(FitUtf16UnitsTest, CutsAtCharacterBoundaries) {
  const std::string han = "数";                 // 3 bytes, 1 unit
  const std::string pair = "\xF0\x9F\x9A\x97";  // U+1F697: 4 bytes, 2 units
  struct Row {
    std::string in;
    std::size_t max;
    std::string expected;
  };
  const Row rows[] = {
      {"", 5, ""},
      {"abc", 0, ""},
      {"abc", 3, "abc"},
      {"abcd", 3, "abc"},
      {han + han + han, 2, han + han},
      {"a" + pair, 2, "a"},  // the pair would need units 2 and 3: left out whole
      {"a" + pair, 3, "a" + pair},
      {pair + pair, 3, pair},
      {"ab\xE6\x95", 5, "ab\xE6\x95"},  // truncated sequence: each byte is one unit
      {"ab\xE6\x95", 3, "ab\xE6"},
      {"\xFF\xFE", 1, "\xFF"},
      {"é" + han, 1, "é"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(FitUtf16Units(r.in, r.max), r.expected) << r.in << " max " << r.max;
  }
}

TEST(FitUtf16UnitsTest, LongBalloonFitsTheRecord) {
  std::string text = "最新升级数据已下载完成。\r\n版本:";
  for (int i = 0; i < 200; ++i) text += "区\xF0\x9F\x9A\x97";
  const std::string fitted = FitUtf16Units(text, kBalloonTextUnits);
  ASSERT_LT(fitted.size(), text.size());
  EXPECT_EQ(text.compare(0, fitted.size(), fitted), 0);
  // Count the units of the result independently: 1 per BMP character, 2 per 4-byte sequence.
  std::size_t units = 0;
  for (unsigned char c : fitted) {
    if ((c & 0xC0) != 0x80) units += (c >= 0xF0) ? 2 : 1;
  }
  EXPECT_LE(units, kBalloonTextUnits);
  EXPECT_GE(units, kBalloonTextUnits - 1);  // at most the half of a pair is given away
  const unsigned char last = static_cast<unsigned char>(fitted.back());
  EXPECT_TRUE(last == 0x97 || last == 0xBA) << int(last);  // ends on a whole character
}

}  // namespace
}  // namespace zt
