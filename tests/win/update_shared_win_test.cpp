// The update folder every account shares, and this user's own state, against Wine's kernel32 and
// registry.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "update/trust/user_state_win.h"
#include "win/handles.h"
#include "update/install/shared_folder_win.h"
#include "update_win_support.h"

namespace {

namespace fs = std::filesystem;

constexpr wchar_t kTestMutex[] = L"Global\\ZT_AutoUpdate_Shared_test";

// One tool at a time: a lock held by another thread (as by another session's tool) is refused; a
// lock whose holder ended without letting go is taken.
TEST(SharedFolderWine, OneHolderAtATimeAndAnAbandonedLockIsTaken) {
  const fs::path root = zt_test::FreshFolder("shared_lock");
  zt::MachineSharedFolder folder(root, root / "Download", kTestMutex);
  std::string reason;
  {
    auto first = folder.Lock(reason);
    ASSERT_TRUE(first) << reason;
    EXPECT_TRUE(fs::is_directory(root / "Download"));
    std::thread([&] {
      std::string why;
      EXPECT_FALSE(zt::MachineSharedFolder(root, root / "Download", kTestMutex).Lock(why));
      EXPECT_NE(why.find("another session"), std::string::npos) << why;
    }).join();
  }
  std::thread([&] {
    // Owned and never released; the handle stays open, so the lock outlives its owner.
    const HANDLE owned = ::CreateMutexW(nullptr, FALSE, kTestMutex);
    ASSERT_EQ(::WaitForSingleObject(owned, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  }).join();
  auto taken = folder.Lock(reason);
  EXPECT_TRUE(taken) << reason;
}

// The workers of one tool take turns rather than refusing each other (a named mutex is owned by a
// thread, so without the turn the second would read the lock as another tool's); the window's
// thread never waits for them.
TEST(SharedFolderWine, WorkersOfOneToolTakeTurns) {
  const fs::path root = zt_test::FreshFolder("shared_turns");
  zt::MachineSharedFolder folder(root, root / "Download", kTestMutex);
  std::string reason;
  auto first = folder.Lock(reason);
  ASSERT_TRUE(first) << reason;
  std::thread([&] {
    std::string why;
    EXPECT_FALSE(folder.TryLock(why));
    EXPECT_NE(why.find("this tool is still working"), std::string::npos) << why;
  }).join();
  std::atomic<bool> asking{false}, released{false};
  std::thread worker([&] {
    std::string why;
    asking = true;
    auto second = folder.Lock(why);
    EXPECT_TRUE(second) << why;
    EXPECT_TRUE(released.load()) << "the second worker went ahead while the first held the lock";
  });
  while (!asking) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  released = true;
  first.reset();
  worker.join();
}

// Under Wine a Unix symbolic link stands in for a junction, and Wine 8 makes none itself
// (CreateSymbolicLinkW gives a name that leads nowhere, and the name of a link to a folder cannot
// be deleted): Wine starts a Unix program as it is, so /bin/ln and /bin/rm do it.
std::wstring UnixPath(const fs::path& p) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  const auto unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = unixName ? unixName(p.c_str()) : nullptr;
  const std::wstring out = name ? zt::Widen(name) : std::wstring();
  if (name) ::HeapFree(::GetProcessHeap(), 0, name);
  return out;
}

// Starts the Unix program `program` with `arguments`; empty when it started, else why not. Its
// process handle may signal before the program has done its work (Wine starts it through a stand-in),
// so the callers wait for what it does.
std::string RunUnix(const wchar_t* program, const std::wstring& arguments) {
  std::wstring command = std::wstring(program) + L" " + arguments;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW((L"Z:" + std::wstring(program)).c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi))
    return "CreateProcessW " + zt::Narrow(command) + ": " + std::to_string(::GetLastError());
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return {};
}

bool IsLink(const fs::path& p) {
  const DWORD attributes = ::GetFileAttributesW(p.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Waits up to 10 s for `p` to be a link (or, `wanted` false, for it not to be).
bool WaitForLink(const fs::path& p, bool wanted) {
  for (int i = 0; i < 200 && IsLink(p) != wanted; ++i) ::Sleep(50);
  return IsLink(p) == wanted;
}

// A link at `link` to the folder `target`; empty when it is there, else why not.
std::string MakeUnixLink(const fs::path& target, const fs::path& link) {
  if (UnixPath(target).empty()) return "not under Wine";
  const std::string ran = RunUnix(L"/bin/ln", L"-s \"" + UnixPath(target) + L"\" \"" + UnixPath(link) + L"\"");
  if (!ran.empty()) return ran;
  return WaitForLink(link, true) ? std::string() : "/bin/ln made no link at " + zt::PathToUtf8(link);
}

// Removes the link at `link` (not what it leads to); true when it is gone.
bool RemoveUnixLink(const fs::path& link) {
  // Named through its folder: the name of the link itself would be followed.
  const std::wstring name = UnixPath(link.parent_path()) + L"/" + link.filename().wstring();
  return RunUnix(L"/bin/rm", L"\"" + name + L"\"").empty() && WaitForLink(link, false);
}

// The folders are checked on the handles that hold them, not only by path: a folder above the
// update folder that is a link leads the path elsewhere, which no attribute of the path shows.
TEST(SharedFolderWine, FoldersAreCheckedOnTheHandlesThatHoldThem) {
  const fs::path base = zt_test::FreshFolder("shared_held");
  fs::create_directories(base / "elsewhere" / "ZT_Update" / "Download");
  ASSERT_EQ(MakeUnixLink(base / "elsewhere", base / "above"), "");
  const fs::path root = base / "above" / "ZT_Update";
  ASSERT_FALSE(zt::LinkProblem(root)) << "the path alone shows nothing";
  zt::MachineSharedFolder folder(root, root / "Download", kTestMutex);
  std::string reason;
  EXPECT_FALSE(folder.Lock(reason));
  EXPECT_NE(reason.find("leads to"), std::string::npos) << reason;
  EXPECT_NE(reason.find("elsewhere"), std::string::npos) << reason;

  zt::MachineSharedFolder plain(base / "elsewhere" / "ZT_Update", base / "elsewhere" / "ZT_Update" / "Download",
                                kTestMutex);
  EXPECT_TRUE(plain.Lock(reason)) << reason;
  // The link goes as a link; what it led to stays.
  EXPECT_TRUE(RemoveUnixLink(base / "above"));
  EXPECT_TRUE(fs::is_directory(base / "elsewhere" / "ZT_Update" / "Download"));
}

// The tool's permissions are set on a folder this account owns that lacks them, once, on the
// held folder itself; a folder of another account is left as it is. Through a seam: Wine keeps no
// permissions to read back.
TEST(SharedFolderWine, PermissionsSetOnlyOnFoldersOfThisAccount) {
  const std::wstring self = zt::OwnSid();
  ASSERT_FALSE(self.empty());
  struct Row {
    const char* label;
    std::wstring owner;
    int applied;  // calls over two turns of the lock
  };
  for (const Row& r : {Row{"this account's", self, 2}, Row{"another account's", L"S-1-5-21-1-2-3-4242", 0}}) {
    SCOPED_TRACE(r.label);
    const fs::path root = zt_test::FreshFolder("shared_owner");
    std::vector<std::wstring> given;
    zt::FolderSecurity security{[&](HANDLE h, std::wstring& owner, std::wstring& dacl) {
                                  BY_HANDLE_FILE_INFORMATION info{};
                                  EXPECT_TRUE(::GetFileInformationByHandle(h, &info));
                                  EXPECT_TRUE(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
                                  owner = r.owner;
                                  dacl = L"D:AI(A;OICIID;0x1301bf;;;AU)";
                                  return true;
                                },
                                [&](HANDLE, const std::wstring& sddl, std::string&) {
                                  given.push_back(sddl);
                                  return true;
                                }};
    zt::MachineSharedFolder folder(root, root / "Download", kTestMutex, security);
    std::string reason;
    for (int turn = 0; turn < 2; ++turn) EXPECT_TRUE(folder.Lock(reason)) << reason;
    ASSERT_EQ(static_cast<int>(given.size()), r.applied);
    for (const std::wstring& sddl : given) EXPECT_EQ(sddl, zt::SharedFolderSddl(self));
  }
}

// The permissions the update root is created with, as CreateDirectoryW receives them (Wine keeps
// none, so they are read where they are handed over): nothing inherited from C:\, full control for
// this account, the system and administrators, and for other accounts files inside but not the
// folder itself.
TEST(SharedFolderWine, CreatedWithPermissionsThatKeepTheFolderItself) {
  static std::wstring given;
  const auto capture = [](LPCWSTR path, LPSECURITY_ATTRIBUTES sa) -> BOOL {
    wchar_t* text = nullptr;
    if (sa && ::ConvertSecurityDescriptorToStringSecurityDescriptorW(sa->lpSecurityDescriptor, SDDL_REVISION_1,
                                                                     DACL_SECURITY_INFORMATION, &text, nullptr)) {
      given = text;
      ::LocalFree(text);
    }
    return ::CreateDirectoryW(path, nullptr);
  };
  const fs::path root = zt_test::FreshFolder("shared_dacl") / "ZT_Update";
  std::string reason;
  ASSERT_TRUE(zt::CreateSharedFolder(root, reason, capture)) << reason;
  EXPECT_TRUE(fs::is_directory(root));
  ASSERT_TRUE(given.starts_with(L"D:P")) << zt::Narrow(given);
  for (const wchar_t* ace : {L"(A;OICI;FA;;;SY)", L"(A;OICI;FA;;;BA)", L";;;AU)", L"(A;OIIO;0x1301bf;;;AU)"})
    EXPECT_NE(given.find(ace), std::wstring::npos) << zt::Narrow(ace) << " in " << zt::Narrow(given);
  // Other accounts' rights on the folder itself: no delete, no change of permissions or owner,
  // no subfolder.
  const std::size_t at = given.find(L"(A;;");
  ASSERT_NE(at, std::wstring::npos);
  const DWORD rights = std::wcstoul(given.c_str() + at + 4, nullptr, 16);
  EXPECT_EQ(rights & (DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD | FILE_ADD_SUBDIRECTORY), 0u);
  EXPECT_EQ(rights & FILE_ADD_FILE, static_cast<DWORD>(FILE_ADD_FILE));
}

// This user's state in the registry: floors only rise, the newest key is kept, failed versions are
// kept (the oldest dropped past sixteen), and the rollout bucket stays what it was first drawn as.
TEST(UserStateWine, FloorsFailedVersionsAndBucketPersist) {
  const std::wstring key = L"Software\\ZT_AutoUpdate_test";
  ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
  {
    zt::RegistryUserState state(key);
    EXPECT_EQ(state.SequenceFloor("k1"), 0u);
    state.RaiseSequenceFloor("k1", 6);
    state.RaiseSequenceFloor("k1", 5);
    state.RaiseSequenceFloor("k2", 1);
    EXPECT_EQ(state.NewestKey(), "");
    state.SetNewestKey("0a1b2c3d4e5f6071");
    for (int v = 0; v < 17; ++v) state.RememberFailedUpdaterVersion("3." + std::to_string(v));
    EXPECT_LT(state.RolloutBucket(), 100u);
  }
  zt::RegistryUserState again(key);  // a later start
  EXPECT_EQ(again.SequenceFloor("k1"), 6u);
  EXPECT_EQ(again.SequenceFloor("k2"), 1u);
  EXPECT_EQ(again.NewestKey(), "0a1b2c3d4e5f6071");
  EXPECT_FALSE(again.UpdaterVersionFailed("3.0"));
  EXPECT_TRUE(again.UpdaterVersionFailed("3.1"));
  EXPECT_TRUE(again.UpdaterVersionFailed("3.16"));
  EXPECT_FALSE(again.UpdaterVersionFailed("3.17"));
  const std::uint32_t bucket = again.RolloutBucket();
  EXPECT_EQ(zt::RegistryUserState(key).RolloutBucket(), bucket);
  ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
}

}  // namespace
