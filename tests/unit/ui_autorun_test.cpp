#include <gtest/gtest.h>

#include "ui/autorun.h"

namespace zt {
namespace {

const ProfileFolders kFolders{R"(C:\Users)", R"(C:\Users\u)", R"(C:\Users\u\AppData\Local)"};

// A copy inside any profile starts for its user alone; one outside every profile keeps the
// machine-wide value first. Near misses (a longer folder name, "..", another drive) stay outside.
TEST(AutoRunScope, ProfileCopiesRegisterForTheirUserAlone) {
  const ProfileFolders redirected{"", R"(C:\Users\u)", R"(D:\Local)"};
  struct Case {
    const char* exe;
    const ProfileFolders& folders;
    RunScope scope;
  };
  const Case cases[] = {
      {R"(C:\Users\u\AppData\Local\Programs\ZT_AutoUpdate\ZT_AutoUpdate.exe)", kFolders, RunScope::UserOnly},
      {R"(c:/USERS/U/Desktop/ZT_AutoUpdate.exe)", kFolders, RunScope::UserOnly},
      {R"(\\?\C:\Users\other\ZT_AutoUpdate.exe)", kFolders, RunScope::UserOnly},
      {R"(C:\Program Files\..\Users\u\ZT_AutoUpdate.exe)", kFolders, RunScope::UserOnly},
      {R"(D:\Local\Programs\ZT_AutoUpdate\ZT_AutoUpdate.exe)", redirected, RunScope::UserOnly},
      {R"(C:\Program Files (x86)\ZT_AutoUpdate\ZT_AutoUpdate.exe)", kFolders, RunScope::MachineFirst},
      {R"(C:\UsersData\ZT_AutoUpdate.exe)", kFolders, RunScope::MachineFirst},
      {R"(C:\Users\..\Program Files\ZT_AutoUpdate.exe)", kFolders, RunScope::MachineFirst},
      {R"(D:\Users\u\ZT_AutoUpdate.exe)", kFolders, RunScope::MachineFirst},
      {R"(\\server\Users\u\ZT_AutoUpdate.exe)", kFolders, RunScope::MachineFirst},
      {R"(C:\Users)", kFolders, RunScope::MachineFirst},
      {R"(C:\Users\u\ZT_AutoUpdate.exe)", ProfileFolders{}, RunScope::MachineFirst},  // folders unknown
      {"", kFolders, RunScope::MachineFirst},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exe);
    EXPECT_EQ(DecideRunScope(c.exe, c.folders), c.scope);
  }
}

// A machine-wide value is this user's own earlier registration only when the program it starts lies
// in this user's profile; another user's copy or a machine-wide copy is left alone.
TEST(AutoRunScope, OwnProfileValuesAreToldFromOthers) {
  struct Case {
    const char* command;
    const char* program;
    bool own;
  };
  const Case cases[] = {
      {R"("C:\Users\u\AppData\Local\Programs\ZT_AutoUpdate\ZT_AutoUpdate.exe" /autohide)",
       R"(C:\Users\u\AppData\Local\Programs\ZT_AutoUpdate\ZT_AutoUpdate.exe)", true},
      {R"(C:\Users\u\Tools\ZT_AutoUpdate.exe /autohide)", R"(C:\Users\u\Tools\ZT_AutoUpdate.exe)", true},
      {R"(  "C:\Users\u\x.exe)", R"(C:\Users\u\x.exe)", true},  // no closing quote
      {R"("C:\Users\u2\ZT_AutoUpdate.exe" /autohide)", R"(C:\Users\u2\ZT_AutoUpdate.exe)", false},
      {R"("C:\Users\other\ZT_AutoUpdate.exe" /autohide)", R"(C:\Users\other\ZT_AutoUpdate.exe)", false},
      {R"("C:\Program Files (x86)\ZT_AutoUpdate\ZT_AutoUpdate.exe" /autohide)",
       R"(C:\Program Files (x86)\ZT_AutoUpdate\ZT_AutoUpdate.exe)", false},
      {R"(C:\Program Files\Users\u\x.exe)", R"(C:\Program)", false},
      {"", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(RunCommandProgram(c.command), c.program);
    EXPECT_EQ(StartsOwnProfileCopy(c.command, kFolders), c.own);
  }
}

}  // namespace
}  // namespace zt
