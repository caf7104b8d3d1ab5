#include "update/install/stale_payloads.h"

#include <gtest/gtest.h>

#include "tests/unit/file_helpers.h"

namespace {

namespace fs = std::filesystem;
using zt::test::WriteAll;

// What goes: the tool's payloads that no current descriptor names, and the kept parts of files
// no longer offered; never a user's other file, a part of a named file or a temporary file.
TEST(StalePayloads, OnlyTheToolsOwnKindsThatNothingNames) {
  const std::vector<std::string> kept = {"Data_2003.exe", "ZT_AutoUpdate_2.8_x64.exe"};
  struct Row {
    const char* leaf;
    bool executable;
    bool stale;
  };
  for (const Row& r : {
           Row{"Data_2002.exe", true, true},              // an earlier publication's package
           Row{"Data_2003.exe", true, false},             // the current one
           Row{"data_2003.EXE", true, false},             // names compare without case
           Row{"ZT_AutoUpdate_2.7_x64.exe", true, true},  // an earlier executable
           Row{"setup.exe", true, true},                  // any executable image is the tool's kind here
           Row{"notes.txt", false, false},                // a user's file
           Row{"Data_2002.exe", false, false},            // not an executable image: not the tool's
           Row{"Data_2002.exe.ztresume", false, true},    // the part of a file no longer offered
           Row{"Data_2002.exe.ztresume.info", false, true},
           Row{"Data_2003.exe.ztresume", false, false},  // the part of the current one stays
           Row{"Data_2003.exe.ZTRESUME", false, false},
           Row{".ztresume", false, false},                             // no file of the tool is without a name
           Row{"Data_2002.exe.0123456789abcdef.ztpart", true, false},  // by age, elsewhere
       }) {
    SCOPED_TRACE(r.leaf);
    EXPECT_EQ(zt::IsStalePayload(r.leaf, r.executable, kept), r.stale);
  }
  EXPECT_TRUE(zt::IsStalePayload("Data_2003.exe", true, {}));  // no descriptor: nothing is kept
}

// In a folder: the stale payloads go, by their first bytes and names; a link to an executable
// elsewhere is left, and so is what it leads to.
TEST(StalePayloads, RemovedFromTheFolder) {
  const fs::path dir = fs::temp_directory_path() / "zt_stale_payloads";
  fs::remove_all(dir);
  fs::create_directories(dir / "sub");
  WriteAll(dir / "Data_2002.exe", "MZ old package");
  WriteAll(dir / "Data_2003.exe", "MZ current package");
  WriteAll(dir / "Data_2004.exe.ztresume", "MZ part of a package not offered");
  WriteAll(dir / "Data_2003.exe.ztresume", "MZ part of the current one");
  WriteAll(dir / "photo.jpg", "\xFF\xD8 a user's file");
  WriteAll(dir / "sub" / "tool.exe", "MZ in a folder of the user's");
  WriteAll(dir / "elsewhere.exe", "MZ");
  fs::create_symlink(dir / "elsewhere.exe", dir / "link.exe");
  fs::remove(dir / "elsewhere.exe");
  WriteAll(dir / "sub" / "target.exe", "MZ a user's program");
  fs::create_symlink(dir / "sub" / "target.exe", dir / "linked.exe");
  EXPECT_EQ(zt::RemoveStalePayloads(dir, {"data_2003.exe"}), 2);
  EXPECT_FALSE(fs::exists(dir / "Data_2002.exe"));
  EXPECT_FALSE(fs::exists(dir / "Data_2004.exe.ztresume"));
  for (const char* stays : {"Data_2003.exe", "Data_2003.exe.ztresume", "photo.jpg", "sub/tool.exe", "sub/target.exe"})
    EXPECT_TRUE(fs::exists(dir / stays)) << stays;
  EXPECT_TRUE(fs::is_symlink(dir / "linked.exe"));
  EXPECT_EQ(zt::RemoveStalePayloads(dir / "missing", {}), 0);
  fs::remove_all(dir);
}

}  // namespace
