// The Run-key registration against the registry as Windows (here Wine) provides it: the
// machine-wide value in the 32-bit view that older installations use, and the per-user fallback.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "ui/autorun_win.h"
#include "base/paths.h"
#include "win/handles.h"
#include "win/text.h"

namespace {

const std::wstring kName = zt::Widen(zt::kRunValueName);

// The value's data as stored in one key and view (the NUL included), or nothing.
std::optional<std::wstring> Stored(HKEY root, REGSAM view) {
  zt::UniqueHKey key;
  if (::RegOpenKeyExW(root, zt::Widen(zt::kRunKeyPath).c_str(), 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS)
    return std::nullopt;
  DWORD type = 0, bytes = 0;
  if (::RegQueryValueExW(key.get(), kName.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || type != REG_SZ)
    return std::nullopt;
  std::wstring data(bytes / sizeof(wchar_t), L'\0');
  ::RegQueryValueExW(key.get(), kName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes);
  return data;
}

// As `reg add ... /reg:32` (or an older 32-bit installation) writes it.
void Put(HKEY root, REGSAM view, const std::wstring& data) {
  zt::UniqueHKey key;
  ASSERT_EQ(::RegCreateKeyExW(root, zt::Widen(zt::kRunKeyPath).c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                              key.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(::RegSetValueExW(key.get(), kName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                             static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
}

void RemoveEverywhere() {
  const std::pair<HKEY, REGSAM> places[] = {
      {HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY}, {HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY}, {HKEY_CURRENT_USER, 0}};
  for (auto [root, view] : places) {
    zt::UniqueHKey key;
    if (::RegOpenKeyExW(root, zt::Widen(zt::kRunKeyPath).c_str(), 0, KEY_SET_VALUE | view, key.put()) == ERROR_SUCCESS)
      ::RegDeleteValueW(key.get(), kName.c_str());
  }
}

// An account without rights to the machine-wide key: it may read it, never open it for writing.
LSTATUS WINAPI RefuseWrites(HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) {
  if (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
  return ::RegOpenKeyExW(root, path, options, access, key);
}

zt::RunPlaces WithoutMachineRights() {
  zt::RunPlaces places = zt::DefaultRunPlaces();
  places.machine.open = &RefuseWrites;
  return places;
}

class AppAutoRun : public ::testing::Test {
 protected:
  void SetUp() override { RemoveEverywhere(); }
  void TearDown() override { RemoveEverywhere(); }
};

TEST_F(AppAutoRun, MachineValueLivesInThe32BitViewWholeAndQuoted) {
  const std::string commands[] = {
      zt::BuildAutoRunCommand(R"(C:\Program Files\ZT AutoUpdate\ZT_AutoUpdate.exe)"),
      zt::BuildAutoRunCommand(R"(C:\安全驾驶\ZT_AutoUpdate.exe)"),
      // Longer than the 255 bytes an old reader could take: written whole, still registered.
      zt::BuildAutoRunCommand("C:\\" + std::string(300, 'd') + "\\ZT_AutoUpdate.exe"),
  };
  for (const auto& command : commands) {
    SCOPED_TRACE(command.size());
    EXPECT_EQ(zt::ChangeAutoRun(command, true), zt::AutoRunMessage::None);
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY), zt::Widen(command) + L'\0');
    EXPECT_FALSE(Stored(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY));  // one shared value, not a second one
    EXPECT_FALSE(Stored(HKEY_CURRENT_USER, 0));
    EXPECT_TRUE(zt::IsAutoRunEnabled());
    EXPECT_EQ(zt::ChangeAutoRun(command, false), zt::AutoRunMessage::None);
    EXPECT_FALSE(zt::IsAutoRunEnabled());
  }
}

// What an earlier installation or the installer left is seen, and unticking removes it.
TEST_F(AppAutoRun, ValuesWrittenByOthersCountAndAreRemoved) {
  struct Case {
    const char* name;
    HKEY root;
    REGSAM view;
  };
  for (const Case& c : {Case{"32-bit view of HKLM", HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY},
                        Case{"HKCU (installer)", HKEY_CURRENT_USER, 0}}) {
    SCOPED_TRACE(c.name);
    Put(c.root, c.view, L"any text at all");
    EXPECT_TRUE(zt::IsAutoRunEnabled());
    EXPECT_EQ(zt::ChangeAutoRun("", false), zt::AutoRunMessage::None);
    EXPECT_FALSE(Stored(c.root, c.view));
    EXPECT_FALSE(zt::IsAutoRunEnabled());
  }
  // Nothing left to remove: as a failed delete always said.
  EXPECT_EQ(zt::ChangeAutoRun("", false), zt::AutoRunMessage::Failed);
}

TEST_F(AppAutoRun, WithoutMachineRightsTheUserKeyHoldsTheValue) {
  const zt::RunPlaces places = WithoutMachineRights();
  const std::string command =
      zt::BuildAutoRunCommand(R"(C:\Users\u\AppData\Local\Programs\ZT_AutoUpdate\ZT_AutoUpdate.exe)");
  EXPECT_EQ(zt::ChangeAutoRun(command, true, places), zt::AutoRunMessage::None);
  EXPECT_EQ(Stored(HKEY_CURRENT_USER, 0), zt::Widen(command) + L'\0');
  EXPECT_FALSE(Stored(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY));
  EXPECT_TRUE(zt::IsAutoRunEnabled(places));
  EXPECT_EQ(zt::ChangeAutoRun(command, false, places), zt::AutoRunMessage::None);
  EXPECT_FALSE(zt::IsAutoRunEnabled(places));

  // A machine-wide value this account may not remove: the user's goes, the box stays ticked and
  // the user is told that administrator rights are needed.
  Put(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, L"\"C:\\old\\ZT_AutoUpdate.exe\" /autohide");
  Put(HKEY_CURRENT_USER, 0, zt::Widen(command));
  EXPECT_EQ(zt::ChangeAutoRun(command, false, places), zt::AutoRunMessage::NeedsAdministrator);
  EXPECT_FALSE(Stored(HKEY_CURRENT_USER, 0));
  EXPECT_TRUE(zt::IsAutoRunEnabled(places));
}

// A copy inside a profile (the system's own folders decide, here Wine's) registers for its user alone,
// reads only that, and takes back a machine-wide value its user's earlier version wrote; what other
// installations wrote machine-wide stays.
TEST_F(AppAutoRun, ProfileCopyRegistersForItsUserAlone) {
  const zt::ProfileFolders folders = zt::CurrentProfileFolders();
  ASSERT_FALSE(folders.profiles.empty());
  ASSERT_FALSE(folders.localAppData.empty());
  const std::string exe = folders.localAppData + R"(\Programs\ZT_AutoUpdate\ZT_AutoUpdate.exe)";
  const std::pair<std::string, zt::RunScope> scopes[] = {
      {exe, zt::RunScope::UserOnly},
      {folders.profiles + R"(\someone else\ZT_AutoUpdate.exe)", zt::RunScope::UserOnly},
      {R"(C:\Program Files (x86)\ZT_AutoUpdate\ZT_AutoUpdate.exe)", zt::RunScope::MachineFirst},
  };
  for (const auto& [path, scope] : scopes) EXPECT_EQ(zt::RunPlacesFor(path).scope, scope) << path;

  const zt::RunPlaces places = zt::RunPlacesFor(exe);
  const std::string command = zt::BuildAutoRunCommand(exe);
  const std::wstring machineCopy = L"\"C:\\Program Files (x86)\\ZT_AutoUpdate\\ZT_AutoUpdate.exe\" /autohide";
  const std::wstring otherUser = zt::Widen(zt::BuildAutoRunCommand(folders.profiles + R"(\someone else\x.exe)"));
  for (const std::wstring& others : {machineCopy, otherUser}) {
    SCOPED_TRACE(zt::Narrow(others));
    Put(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, others);
    EXPECT_FALSE(zt::IsAutoRunEnabled(places));  // the machine-wide value is not this copy's
    EXPECT_EQ(zt::ChangeAutoRun(command, true, places), zt::AutoRunMessage::None);
    EXPECT_EQ(Stored(HKEY_CURRENT_USER, 0), zt::Widen(command) + L'\0');
    EXPECT_TRUE(zt::IsAutoRunEnabled(places));
    EXPECT_EQ(zt::ChangeAutoRun(command, false, places), zt::AutoRunMessage::None);
    EXPECT_FALSE(Stored(HKEY_CURRENT_USER, 0));
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY), others + L'\0');
  }

  // This user's earlier registration, machine-wide: moved to the user's key when the copy looks.
  Put(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, zt::Widen(command));
  EXPECT_TRUE(zt::IsAutoRunEnabled(places));
  EXPECT_FALSE(Stored(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY));
  EXPECT_EQ(Stored(HKEY_CURRENT_USER, 0), zt::Widen(command) + L'\0');

  // Without rights it stays, the box stays ticked and the user hears that an administrator is needed.
  RemoveEverywhere();
  zt::RunPlaces refused = places;
  refused.machine.open = &RefuseWrites;
  Put(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, zt::Widen(command));
  EXPECT_TRUE(zt::IsAutoRunEnabled(refused));
  EXPECT_EQ(zt::ChangeAutoRun(command, false, refused), zt::AutoRunMessage::NeedsAdministrator);
  EXPECT_TRUE(zt::IsAutoRunEnabled(refused));
}

}  // namespace
