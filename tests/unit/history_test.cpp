#include "base/history.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

zt::Outcome Data(const char* result, const char* cause) {
  return {zt::kWhatData, result, "2002", "2001", "7", cause, "写入后设备数据仍为 2001"};
}

// One line per outcome, newest last and at most 100; a refusal or deferral that repeats the last
// line of its kind word for word adds nothing (a bad publication refused at every check is one
// line), while repeated failures are each kept. Only added lines reach the report.
TEST(History, OneLinePerOutcomeRepeatsOfRefusalsOnce) {
  const fs::path file = fs::temp_directory_path() / "zt_history_test" / "history.txt";
  fs::remove_all(file.parent_path());
  zt::SetHistoryPath(file);
  std::vector<std::string> reported;
  zt::SetOutcomeListener([&](const zt::Outcome& o) { reported.push_back(o.result + "/" + o.cause); });
  const zt::Outcome refusedServer{zt::kWhatServer, zt::kResultRefused, "2003", "", "9", "not-signed", "没有签名"};

  struct Step {
    zt::Outcome outcome;
    bool added;
  };
  for (const Step& s :
       {Step{Data("failed", "not-taken"), true}, Step{Data("failed", "not-taken"), true}, Step{refusedServer, true},
        Step{refusedServer, false}, Step{Data("ok", "none"), true}, Step{refusedServer, false},
        Step{Data("refused", "hash"), true}, Step{Data("refused", "hash"), false}}) {
    EXPECT_EQ(zt::RecordOutcome(s.outcome), s.added);
  }
  const std::vector<std::string> lines = zt::HistoryLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].substr(19), "\tdata\tfailed\t2001->2002 (seq 7)\t写入后设备数据仍为 2001");
  EXPECT_EQ(lines[2].substr(19), "\tserver\trefused\t2003 (seq 9)\t没有签名");
  EXPECT_EQ(reported, (std::vector<std::string>{"failed/not-taken", "failed/not-taken", "refused/not-signed", "ok/none",
                                                "refused/hash"}));

  for (int i = 0; i < 150; ++i) zt::RecordOutcome(Data("failed", ("n" + std::to_string(i)).c_str()));
  const std::vector<std::string> capped = zt::HistoryLines();
  ASSERT_EQ(capped.size(), zt::kHistoryMaxLines);
  EXPECT_TRUE(capped.back().ends_with("写入后设备数据仍为 2001"));
  EXPECT_EQ(reported.size(), 155u);
  zt::SetOutcomeListener({});
  zt::SetHistoryPath({});
  fs::remove_all(file.parent_path());
}

}  // namespace
