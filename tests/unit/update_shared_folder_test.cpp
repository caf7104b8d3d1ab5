#include "update/install/shared_folder.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/history.h"
#include "base/notice.h"

namespace {

namespace fs = std::filesystem;

// What the folder held open must be: the plain folder named, not a link, not a file, and not one
// that a link on the way (the folder above it) leads elsewhere.
TEST(SharedFolderDecision, HeldFolderIsThePlainFolderNamed) {
  struct Row {
    const char* label;
    const char* named;
    const char* held;
    bool directory, reparsePoint;
    const char* problem;  // a part of the reason, nullptr: none
  };
  for (const Row& r : {
           Row{"plain", "C:\\ZT_Update", "\\\\?\\C:\\ZT_Update", true, false, nullptr},
           Row{"another case", "C:\\ZT_Update\\Download", "\\\\?\\c:\\zt_update\\DOWNLOAD", true, false, nullptr},
           Row{"a junction itself", "C:\\ZT_Update", "\\\\?\\C:\\ZT_Update", true, true, "is a link"},
           Row{"a file", "C:\\ZT_Update\\Download", "\\\\?\\C:\\ZT_Update\\Download", false, false, "is not a folder"},
           Row{"led elsewhere", "C:\\ZT_Update\\Download", "\\\\?\\C:\\Users\\Victim\\Documents", true, false,
               "leads to C:\\Users\\Victim\\Documents"},
           Row{"on another volume", "C:\\ZT_Update", "\\\\?\\UNC\\server\\share\\ZT_Update", true, false, "leads to"},
           Row{"no path given for the handle", "C:\\ZT_Update", "", true, false, "leads to"},
       }) {
    SCOPED_TRACE(r.label);
    const auto problem = zt::HeldFolderProblem(r.named, r.held, r.directory, r.reparsePoint);
    ASSERT_EQ(problem.has_value(), r.problem != nullptr) << problem.value_or("");
    if (problem) {
      EXPECT_NE(problem->find(r.problem), std::string::npos) << *problem;
    }
  }
}

// The tool's permissions are set again only on a folder this account owns, and only when they
// differ from what it has in more than how they were inherited.
TEST(SharedFolderDecision, PermissionsSetOnlyOnAFolderOfThisAccount) {
  const char* me = "S-1-5-21-1-2-3-1001";
  const char* wanted = "D:P(A;OICI;FA;;;SY)(A;;0x1200ab;;;AU)";
  struct Row {
    const char* label;
    const char* owner;
    const char* self;
    const char* current;
    bool applied;
  };
  for (const Row& r : {
           Row{"mine, inherited from C:\\", me, me, "D:AI(A;OICIID;0x1301bf;;;AU)", true},
           Row{"mine, already the tool's", me, me, wanted, false},
           Row{"mine, the tool's read back as auto-inherited", me, me, "D:PAI(A;OICI;FA;;;SY)(A;;0x1200ab;;;AU)",
               false},
           Row{"another account's", "S-1-5-21-1-2-3-1002", me, "D:AI(A;OICIID;0x1301bf;;;AU)", false},
           Row{"the administrators'", "S-1-5-32-544", me, "D:AI(A;OICIID;0x1301bf;;;AU)", false},
       }) {
    SCOPED_TRACE(r.label);
    EXPECT_EQ(zt::PermissionsToApply(r.owner, r.self, r.current, wanted), r.applied);
  }
}

// Refusals of the lock in a row: the third tells the user in the window's text and the history,
// once; taking the lock starts the count again and takes down that notice, and only that one.
TEST(SharedFolderDecision, ThreeRefusalsInARowAreTold) {
  const fs::path dir = fs::temp_directory_path() / "zt_lock_refusals";
  fs::remove_all(dir);
  fs::create_directories(dir);
  zt::SetHistoryPath(dir / "history.txt");
  std::vector<zt::Outcome> reported;
  zt::SetOutcomeListener([&](const zt::Outcome& o) { reported.push_back(o); });
  zt::ClearInfoNotice();
  zt::LockRefusals refusals;
  enum Step { Refused, Taken, OtherNotice };
  struct Row {
    const char* label;
    Step step;
    bool told;
    std::string notice;  // the information text after the step
    std::size_t lines;   // the history's lines after it
  };
  const std::string held = zt::kLockHeldNotice;
  for (const Row& r : {
           Row{"a first refusal is a moment's overlap", Refused, false, "", 0},
           Row{"a second", Refused, false, "", 0},
           Row{"the third in a row tells", Refused, true, held, 1},
           Row{"a fourth tells nothing more", Refused, false, held, 1},
           Row{"the lock taken: the notice goes", Taken, false, "", 1},
           Row{"a refusal after it counts from one", Refused, false, "", 1},
           Row{"the lock taken again", Taken, false, "", 1},
           Row{"one", Refused, false, "", 1},
           Row{"two", Refused, false, "", 1},
           Row{"three tell again; the history keeps a repeat as one line", Refused, true, held, 1},
           Row{"another notice replaces it", OtherNotice, false, "another notice", 1},
           Row{"the lock taken leaves a notice not its own", Taken, false, "another notice", 1},
       }) {
    SCOPED_TRACE(r.label);
    bool told = false;
    if (r.step == Refused) told = refusals.Refused();
    if (r.step == Taken) refusals.Taken();
    if (r.step == OtherNotice) zt::SetInfoNotice("another notice");
    EXPECT_EQ(told, r.told);
    EXPECT_EQ(zt::InfoNotice(), r.notice);
    EXPECT_EQ(zt::HistoryLines().size(), r.lines);
  }
  const std::vector<std::string> lines = zt::HistoryLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("\tdata\trefused\t"), std::string::npos) << lines.back();
  EXPECT_NE(lines.back().find(zt::kLockHeldWords), std::string::npos) << lines.back();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].cause, "lock-held");
  zt::SetOutcomeListener({});
  zt::SetHistoryPath({});
  zt::ClearInfoNotice();
  fs::remove_all(dir);
}

}  // namespace
