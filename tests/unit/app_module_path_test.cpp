#include "base/module_path.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

namespace {

// Behaves like GetModuleFileNameW for a module whose path is `path`: a short buffer gets the cut
// path with a NUL and the buffer size as result.
struct FakeModuleFileName {
  std::wstring path;
  int calls = 0;
  std::uint32_t operator()(wchar_t* buffer, std::uint32_t size) {
    ++calls;
    if (path.empty()) return 0;
    if (path.size() < size) {
      std::wmemcpy(buffer, path.c_str(), path.size() + 1);
      return static_cast<std::uint32_t>(path.size());
    }
    std::wmemcpy(buffer, path.c_str(), size - 1);
    buffer[size - 1] = L'\0';
    return size;
  }
};

TEST(AppModulePath, WholePathWhateverItsLength) {
  const size_t lengths[] = {1, 17, 258, 259, 260, 261, 519, 520, 1000, 32767};
  for (const size_t n : lengths) {
    SCOPED_TRACE(n);
    std::wstring path = L"C:\\";
    while (path.size() + 4 < n) path += L'd';
    path += L".exe";
    path.resize(n, L'x');
    FakeModuleFileName fake{path};
    EXPECT_EQ(zt::ReadWholePath(std::ref(fake)), path);
  }
}

TEST(AppModulePath, FailureGivesEmpty) {
  FakeModuleFileName fake{L""};
  EXPECT_EQ(zt::ReadWholePath(std::ref(fake)), L"");
  EXPECT_EQ(fake.calls, 1);
  // A call that always claims a cut path ends instead of growing for ever.
  int calls = 0;
  EXPECT_EQ(zt::ReadWholePath([&](wchar_t*, std::uint32_t size) {
              ++calls;
              return size;
            }),
            L"");
  EXPECT_LT(calls, 20);
}

// A new version runs from its copy beside the executable until its next start; what it registers
// and replaces is the executable itself.
TEST(AppModulePath, InstalledPathOfANewVersionBesideTheExecutable) {
  const struct {
    std::string started, installed;
  } cases[] = {
      {R"(C:\a b\ZT_AutoUpdate.exe)", R"(C:\a b\ZT_AutoUpdate.exe)"},
      {R"(C:\a b\ZT_AutoUpdate.exe.ztnew)", R"(C:\a b\ZT_AutoUpdate.exe)"},
      {R"(C:\a b\ZT_AutoUpdate.exe.ZTNEW)", R"(C:\a b\ZT_AutoUpdate.exe)"},  // Windows ignores case
      {R"(C:\x.exe.ztnew.ztnew)", R"(C:\x.exe.ztnew)"},                      // one suffix only
      {R"(C:\x.exe.ztold)", R"(C:\x.exe.ztold)"},
      {R"(C:\x.exe.ztne)", R"(C:\x.exe.ztne)"},
      {".ztnew", ".ztnew"},  // nothing would be left
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(zt::InstalledPath(c.started), c.installed) << c.started;
}

}  // namespace
