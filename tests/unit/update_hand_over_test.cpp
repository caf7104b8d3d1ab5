#include "update/install/hand_over.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/file_helpers.h"

namespace {

namespace fs = std::filesystem;
using zt::HandOverStage;
using zt::LocalRead;
using zt::test::ReadAll;
using zt::test::WriteAll;

struct Folder {
  fs::path dir;
  explicit Folder(const std::string& tag) {
    dir = fs::temp_directory_path() /
          ("zt_handover_" + tag + "_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  ~Folder() { fs::remove_all(dir); }
};

// What a start does with what it finds of a hand-over: the executable's path first, a version that
// started and never confirmed is remembered, a confirmed one that never took the executable's place
// is fetched again, and nothing is touched while the hand-over's processes run.
TEST(HalfDoneRepair, DecidedFromTheFilesAndTheRecord) {
  const auto S = HandOverStage::Started, C = HandOverStage::Confirmed;
  struct Row {
    const char* label;
    bool exe, placed, old;
    std::optional<HandOverStage> stage;
    bool runs;
    // restoreOld, takePlaced, removePlaced, removeOld, rememberFailed, removeRecord
    std::vector<bool> done;
  };
  // clang-format off
  const Row rows[] = {
      {"nothing there",                   true,  false, false, std::nullopt, false, {0, 0, 0, 0, 0, 0}},
      {"placed, never started",           true,  true,  false, std::nullopt, false, {0, 0, 1, 0, 0, 0}},
      {"started, cut before confirming",  true,  true,  false, S,            false, {0, 0, 1, 0, 1, 1}},
      {"started, rolled back, record left", true, false, false, S,           false, {0, 0, 0, 0, 1, 1}},
      {"confirmed, cut before the move",  true,  true,  false, C,            false, {0, 0, 1, 0, 0, 1}},
      {"confirmed and moved",             true,  false, false, C,            false, {0, 0, 0, 0, 0, 1}},
      {"hand-over still running",         true,  true,  false, S,            true,  {0, 0, 0, 0, 0, 0}},
      {"earlier order's old copy left",   true,  false, true,  std::nullopt, false, {0, 0, 0, 1, 0, 0}},
      {"earlier order cut between renames", false, true, true, std::nullopt, false, {1, 0, 1, 0, 0, 0}},
      {"missing, old aside, started",     false, true,  true,  S,            false, {1, 0, 1, 0, 1, 1}},
      {"missing, confirmed copy beside",  false, true,  false, C,            false, {0, 1, 0, 0, 0, 1}},
      {"missing, unconfirmed beside",     false, true,  false, S,            false, {0, 0, 0, 0, 0, 0}},
      {"missing, nothing else",           false, false, false, std::nullopt, false, {0, 0, 0, 0, 0, 0}},
  };
  // clang-format on
  for (const Row& r : rows) {
    SCOPED_TRACE(r.label);
    zt::HalfDoneFacts facts{r.exe, r.placed, r.old, r.stage, "3.2", r.runs};
    const zt::HalfDoneRepair d = zt::DecideHalfDoneRepair(facts);
    EXPECT_EQ(
        (std::vector<bool>{d.restoreOld, d.takePlaced, d.removePlaced, d.removeOld, d.rememberFailed, d.removeRecord}),
        r.done);
    // Whatever was found of a hand-over is said, with the version when a record named it.
    EXPECT_EQ(d.found.empty(), !r.placed && !r.old && !r.stage);
    if (r.stage && !r.runs) {
      EXPECT_NE(d.found.find("3.2"), std::string::npos) << d.found;
    }
  }
}

TEST(ReplacementRecord, ReadsBackWhatWasWrittenAndNothingMalformed) {
  Folder f("record");
  const zt::ReplacementRecord written{
      "3.2", f.dir / "a b" / "ZT_AutoUpdate.exe", 1234, 5678, LocalRead::Unreadable, HandOverStage::Confirmed};
  std::string reason;
  ASSERT_TRUE(zt::WriteReplacementRecord(f.dir / "replacing.txt", written, {}, reason)) << reason;
  const auto read = zt::ReadReplacementRecord(f.dir / "replacing.txt");
  ASSERT_TRUE(read);
  EXPECT_EQ(zt::FormatReplacementRecord(*read), zt::FormatReplacementRecord(written));
  EXPECT_EQ(read->exe, written.exe);
  EXPECT_EQ(read->previousDescriptor, LocalRead::Unreadable);
  EXPECT_EQ(read->stage, HandOverStage::Confirmed);
  EXPECT_EQ(fs::directory_iterator(f.dir)->path().filename(), "replacing.txt") << "no temporary file left";

  // A value with a line break of its own is not written (the earlier record stays).
  zt::ReplacementRecord broken = written;
  broken.version = "3.2\nstage=confirmed";
  EXPECT_FALSE(zt::WriteReplacementRecord(f.dir / "replacing.txt", broken, {}, reason));
  EXPECT_EQ(ReadAll(f.dir / "replacing.txt"), zt::FormatReplacementRecord(written));

  const std::string good = zt::FormatReplacementRecord(written);
  const auto without = [&](const std::string& line) {
    std::string text = good;
    text.erase(text.find(line), line.size());
    return text;
  };
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  struct Row {
    const char* label;
    std::string text;
    bool parses;
  };
  const Row rows[] = {
      {"as written", good, true},
      {"CR LF", replaced("\nstage", "\r\nstage"), true},
      {"unknown key", good + "later=1\n", true},
      {"empty", "", false},
      {"cut short", good.substr(0, good.find("previous_descriptor")), false},
      {"no version", without("version=3.2\n"), false},
      {"no stage", without("stage=confirmed\n"), false},
      {"stage unknown", replaced("stage=confirmed", "stage=moved"), false},
      {"process 0", replaced("new_process=5678", "new_process=0"), false},
      {"descriptor unknown", replaced("=unreadable", "=maybe"), false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.label);
    EXPECT_EQ(zt::ParseReplacementRecord(r.text).has_value(), r.parses);
  }
  EXPECT_FALSE(zt::ReadReplacementRecord(f.dir / "none.txt"));
}

// A new version may confirm unless it cannot read a version.txt the previous version read, or
// cannot resolve its server.
TEST(ConfirmationProblem, DescriptorAsThePreviousVersionReadItAndTheServer) {
  struct Row {
    LocalRead own;
    std::optional<LocalRead> previous;
    std::optional<std::string> server;
    bool problem;
  };
  const Row rows[] = {
      {LocalRead::Loaded, LocalRead::Loaded, {}, false},
      {LocalRead::Missing, LocalRead::Loaded, {}, false},  // known missing is a state it handles
      {LocalRead::Unreadable, LocalRead::Missing, {}, true},
      {LocalRead::Unreadable, LocalRead::Unreadable, {}, false},  // this PC's file, not the build
      {LocalRead::Unreadable, std::nullopt, {}, true},            // no record: nothing excuses it
      {LocalRead::Loaded, LocalRead::Loaded, "GetAddrInfoW: (0x00002AF9) No such host is known.", true},
  };
  for (const Row& r : rows) {
    const auto problem = zt::ConfirmationProblem(r.own, r.previous, r.server);
    EXPECT_EQ(problem.has_value(), r.problem) << (problem ? *problem : "");
    if (problem && r.server) {
      EXPECT_NE(problem->find("No such host"), std::string::npos);
    }
  }
}

// The new version moves over the executable only once it has confirmed and the previous process
// has ended; failed moves are tried again, and after the last one the executable keeps the
// previous version.
TEST(ExecutableTakeOver, MovesOnlyWhenConfirmedAndThePreviousHasEnded) {
  using Step = zt::ExecutableTakeOver::Step;
  struct Look {
    bool confirmed, previousRuns;
    Step step;
  };
  struct Row {
    const char* label;
    int failingMoves;  // the first this many moves fail
    std::vector<Look> looks;
    std::string exeAfter;
    bool placedAfter;
  };
  const Row rows[] = {
      {"not confirmed", 0, {{false, false, Step::Waiting}, {false, false, Step::Waiting}}, "old", true},
      {"previous still runs",
       0,
       {{true, true, Step::Waiting}, {true, true, Step::Waiting}, {true, false, Step::Moved}},
       "new",
       false},
      {"moved once, then nothing", 0, {{true, false, Step::Moved}, {true, false, Step::Waiting}}, "new", false},
      {"held for a moment",
       2,
       {{true, false, Step::Waiting}, {true, false, Step::Waiting}, {true, false, Step::Moved}},
       "new",
       false},
      {"held throughout",
       9,
       {{true, false, Step::Waiting},
        {true, false, Step::Waiting},
        {true, false, Step::GaveUp},
        {true, false, Step::Waiting}},
       "old",
       true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.label);
    Folder f("takeover");
    const fs::path exe = f.dir / "tool.exe", placed = f.dir / "tool.exe.ztnew";
    WriteAll(exe, "old");
    WriteAll(placed, "new");
    int moves = 0;
    zt::ExecutableTakeOver takeOver(
        placed, exe,
        [&](const fs::path& from, const fs::path& to, std::string& reason) {
          if (++moves <= r.failingMoves) {
            reason = "sharing violation";
            return false;
          }
          return zt::RenameReplacing(from, to, reason);
        },
        3);
    for (const Look& look : r.looks) {
      std::string reason;
      EXPECT_EQ(takeOver.Look(look.confirmed, look.previousRuns, reason), look.step);
      // At every look the executable's path holds one version or the other.
      EXPECT_TRUE(ReadAll(exe) == "old" || ReadAll(exe) == "new");
    }
    EXPECT_EQ(ReadAll(exe), r.exeAfter);
    EXPECT_EQ(fs::exists(placed), r.placedAfter);
  }
}

}  // namespace
