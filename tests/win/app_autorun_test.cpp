// The Run-key registration against the registry as Windows (here Wine) provides it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/autorun.h"
#include "app/paths.h"
#include "win/handles.h"
#include "win/text.h"

namespace {

// The value as stored: its type and its data, the NUL included.
bool ReadRunValue(DWORD* type, std::wstring* data) {
  HKEY raw = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, zt::Widen(zt::kRunKeyPath).c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS)
    return false;
  zt::UniqueHKey key(raw);
  DWORD bytes = 0;
  const std::wstring name = zt::Widen(zt::kRunValueName);
  if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, type, nullptr, &bytes) != ERROR_SUCCESS) return false;
  data->assign(bytes / sizeof(wchar_t), L'\0');
  return ::RegQueryValueExW(key.get(), name.c_str(), nullptr, type, reinterpret_cast<BYTE*>(data->data()), &bytes) ==
         ERROR_SUCCESS;
}

class AppAutoRun : public ::testing::Test {
 protected:
  void SetUp() override { zt::WriteAutoRunValue("", false, nullptr); }
  void TearDown() override { zt::WriteAutoRunValue("", false, nullptr); }
};

TEST_F(AppAutoRun, SetQueryDeleteRoundTrip) {
  const std::string commands[] = {
      zt::BuildAutoRunCommand(R"(C:\Program Files\ZT AutoUpdate\ZT_AutoUpdate.exe)"),
      zt::BuildAutoRunCommand(R"(C:\安全驾驶\ZT_AutoUpdate.exe)"),
      "any text at all",  // not the tool's path: still counts as registered
      // Longer than the 255 bytes an old reader could take: written whole, still registered.
      zt::BuildAutoRunCommand("C:\\" + std::string(300, 'd') + "\\ZT_AutoUpdate.exe"),
  };
  for (const auto& command : commands) {
    SCOPED_TRACE(command.size());
    EXPECT_FALSE(zt::IsAutoRunEnabled());
    bool openFailed = true;
    ASSERT_EQ(zt::WriteAutoRunValue(command, true, &openFailed), ERROR_SUCCESS);
    EXPECT_FALSE(openFailed);
    EXPECT_TRUE(zt::IsAutoRunEnabled());

    DWORD type = 0;
    std::wstring data;
    ASSERT_TRUE(ReadRunValue(&type, &data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, zt::Widen(command) + L'\0');  // the whole text with its NUL

    EXPECT_EQ(zt::WriteAutoRunValue(command, false, &openFailed), ERROR_SUCCESS);
    EXPECT_FALSE(openFailed);
    EXPECT_FALSE(zt::IsAutoRunEnabled());
  }
}

TEST_F(AppAutoRun, DeletingAMissingValueFails) {
  ASSERT_FALSE(zt::IsAutoRunEnabled());
  bool openFailed = true;
  EXPECT_EQ(zt::WriteAutoRunValue("", false, &openFailed), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(openFailed);  // the key opened; the delete itself failed ("设置失败！")
  EXPECT_FALSE(zt::IsAutoRunEnabled());
}

TEST_F(AppAutoRun, SetAutoRunWritesTheWholeCommand) {
  const std::string command = zt::BuildAutoRunCommand("C:\\" + std::string(280, 'p') + "\\ZT_AutoUpdate.exe");
  zt::SetAutoRun(command, true);  // succeeds, so no message box
  DWORD type = 0;
  std::wstring data;
  ASSERT_TRUE(ReadRunValue(&type, &data));
  EXPECT_EQ(data, zt::Widen(command) + L'\0');
  zt::SetAutoRun(command, false);
  EXPECT_FALSE(zt::IsAutoRunEnabled());
}

}  // namespace
