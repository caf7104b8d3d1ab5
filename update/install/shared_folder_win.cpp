#include "update/install/shared_folder_win.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "base/fsutil.h"
#include "base/log.h"
#include "base/paths.h"
#include "win/error.h"
#include "win/handles.h"
#include "win/text.h"

namespace zt {
namespace {

// Others may wait on the lock and release it, nothing more.
constexpr wchar_t kMutexSddl[] = L"D:(A;;0x00100001;;;AU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)";

struct LocalFreeTraits {
  using Type = PSECURITY_DESCRIPTOR;
  static Type None() noexcept { return nullptr; }
  static bool Valid(Type h) noexcept { return h != nullptr; }
  static void Close(Type h) noexcept { ::LocalFree(h); }
};
using UniqueSecurityDescriptor = UniqueHandle<LocalFreeTraits>;

UniqueSecurityDescriptor SecurityFromSddl(const std::wstring& sddl) {
  UniqueSecurityDescriptor sd;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, sd.put(), nullptr))
    sd.release();
  return sd;
}

// A mutex owned by this thread, released and closed when the guard goes.
struct MutexGuard {
  UniqueKernelHandle mutex;
  bool owned = false;
  ~MutexGuard() {
    if (owned) ::ReleaseMutex(mutex.get());
  }
};

// This tool's turn, the machine-wide lock and the folders held open; the folders are let go first,
// then the lock.
struct SharedGuard {
  std::unique_lock<std::timed_mutex> turn;
  MutexGuard machine;
  std::vector<UniqueKernelHandle> folders;
};

// A folder without its trailing separator: "C:\a\link\" names what the link points to.
std::filesystem::path Bare(const std::filesystem::path& folder) {
  return folder.has_filename() ? folder : folder.parent_path();
}

// The path the system gives for an open handle ("\\?\C:\..."); empty when it gives none.
std::wstring HeldPath(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD n = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(n + 1);
  }
  return {};
}

std::wstring FullPath(const std::filesystem::path& path) {
  const DWORD n = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full(n, L'\0');
  const DWORD got = n ? ::GetFullPathNameW(path.c_str(), n, full.data(), nullptr) : 0;
  if (got == 0 || got >= n) return path.wstring();
  full.resize(got);
  return full;
}

// Opens `folder` itself, never what a link at its name leads to, and checks on that handle that it
// is the plain folder named. Others may read and write in it while the handle lives, but not delete
// it: it can be neither renamed, removed nor replaced by a link until the guard goes.
UniqueKernelHandle HoldFolder(const std::filesystem::path& folder, std::string& reason) {
  const std::filesystem::path bare = Bare(folder);
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
  constexpr DWORD kFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
  constexpr DWORD kRead = FILE_READ_ATTRIBUTES | READ_CONTROL;
  // With the right to set its permissions where this account has it (as its owner does).
  UniqueKernelHandle held(
      ::CreateFileW(bare.c_str(), kRead | WRITE_DAC, kShare, nullptr, OPEN_EXISTING, kFlags, nullptr));
  if (!held && ::GetLastError() == ERROR_ACCESS_DENIED)
    held.reset(::CreateFileW(bare.c_str(), kRead, kShare, nullptr, OPEN_EXISTING, kFlags, nullptr));
  if (!held) {
    reason = LastErrorText("CreateFileW " + PathToUtf8(bare));
    return {};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(held.get(), &info)) {
    reason = LastErrorText("GetFileInformationByHandle " + PathToUtf8(bare));
    return {};
  }
  if (auto problem = HeldFolderProblem(Narrow(FullPath(bare)), Narrow(HeldPath(held.get())),
                                       (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                       (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
    reason = *problem;
    return {};
  }
  return held;
}

// The DACL of a security descriptor in SDDL; empty when it cannot be written.
std::wstring DaclText(PSECURITY_DESCRIPTOR sd) {
  wchar_t* text = nullptr;
  if (!sd || !::ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                     &text, nullptr))
    return {};
  std::wstring dacl(text);
  ::LocalFree(text);
  return dacl;
}

bool ReadSecurity(HANDLE folder, std::wstring& owner, std::wstring& dacl) {
  PSID ownerSid = nullptr;
  PACL acl = nullptr;
  UniqueSecurityDescriptor sd;
  if (::GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &ownerSid,
                        nullptr, &acl, nullptr, sd.put()) != ERROR_SUCCESS) {
    sd.release();
    return false;
  }
  wchar_t* text = nullptr;
  if (!ownerSid || !::ConvertSidToStringSidW(ownerSid, &text)) return false;
  owner = text;
  ::LocalFree(text);
  dacl = DaclText(sd.get());
  return true;
}

// On the folder alone: SetSecurityInfo would carry the permissions into everything inside, through
// any link another account may have put there.
bool ApplySecurity(HANDLE folder, const std::wstring& sddl, std::string& reason) {
  const UniqueSecurityDescriptor sd = SecurityFromSddl(sddl);
  if (!sd) {
    reason = LastErrorText("ConvertStringSecurityDescriptorToSecurityDescriptorW");
    return false;
  }
  if (::SetKernelObjectSecurity(folder, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, sd.get()))
    return true;
  reason = LastErrorText("SetKernelObjectSecurity");
  return false;
}

// A folder's identity on its volume, to set its permissions once per process.
std::uint64_t FolderIdentity(HANDLE folder) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(folder, &info)) return 0;
  return (static_cast<std::uint64_t>(info.dwVolumeSerialNumber) << 48) ^
         (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow);
}

}  // namespace

std::wstring OwnSid() {
  UniqueKernelHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return {};
  std::wstring sid(text);
  ::LocalFree(text);
  return sid;
}

FolderSecurity SystemFolderSecurity() { return {ReadSecurity, ApplySecurity}; }

std::wstring SharedFolderSddl(const std::wstring& userSid) {
  // P: nothing inherited from C:\, where every account may modify. The folder itself: list, add a
  // file, read attributes, traverse, read its permissions. Files inside (inherited by files only):
  // read, write, run and delete.
  return L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + userSid +
         L")(A;;0x001200AB;;;AU)(A;OIIO;0x001301BF;;;AU)";
}

std::optional<std::string> LinkProblem(const std::filesystem::path& given) {
  // Without its trailing separator: "C:\a\link\" names what the link points to, not the link.
  const std::filesystem::path folder = given.has_filename() ? given : given.parent_path();
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
    return ErrorText("GetFileAttributesW " + PathToUtf8(folder), error);
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
    return PathToUtf8(folder) + " is a link (junction or symbolic link): nothing is written through it";
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return PathToUtf8(folder) + " is not a folder";
  return std::nullopt;
}

bool CreateSharedFolder(const std::filesystem::path& folder, std::string& reason,
                        decltype(&::CreateDirectoryW) create) {
  const std::wstring sid = OwnSid();
  UniqueSecurityDescriptor sd = sid.empty() ? UniqueSecurityDescriptor() : SecurityFromSddl(SharedFolderSddl(sid));
  SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
  if (create(folder.c_str(), sd ? &sa : nullptr)) return true;
  const DWORD error = ::GetLastError();
  if (error == ERROR_ALREADY_EXISTS) return true;
  reason = ErrorText("CreateDirectoryW " + PathToUtf8(folder), error);
  return false;
}

std::shared_ptr<void> MachineSharedFolder::Lock(std::string& reason) { return Take(kTurnWait, true, reason); }

std::shared_ptr<void> MachineSharedFolder::TryLock(std::string& reason) {
  return Take(std::chrono::milliseconds(0), true, reason);
}

std::shared_ptr<void> MachineSharedFolder::TryLockUncounted(std::string& reason) {
  return Take(std::chrono::milliseconds(0), false, reason);
}

std::shared_ptr<void> MachineSharedFolder::Take(std::chrono::milliseconds turnWait, bool counted, std::string& reason) {
  auto guard = std::make_shared<SharedGuard>();
  guard->turn = std::unique_lock(m_turn, std::defer_lock);
  if (!guard->turn.try_lock_for(turnWait)) {
    reason = "this tool is still working on " + PathToUtf8(m_root);
    return nullptr;
  }
  const UniqueSecurityDescriptor sd = SecurityFromSddl(kMutexSddl);
  SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
  MutexGuard& machine = guard->machine;
  machine.mutex.reset(::CreateMutexW(sd ? &sa : nullptr, FALSE, m_mutexName.c_str()));
  // Made by another account with rights that exclude this one: it is held by that account's tool.
  if (!machine.mutex && ::GetLastError() == ERROR_ACCESS_DENIED)
    machine.mutex.reset(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, m_mutexName.c_str()));
  if (!machine.mutex) {
    reason = LastErrorText("CreateMutexW " + Narrow(m_mutexName));
    return nullptr;
  }
  // An abandoned lock (its tool ended without letting go) is ours now.
  const DWORD waited = ::WaitForSingleObject(machine.mutex.get(), 0);
  machine.owned = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  if (!machine.owned) {
    reason = "another session's tool is working on " + PathToUtf8(m_root) + " (" + Narrow(m_mutexName) + " is held)";
    if (counted && m_refusals.Refused())
      LogEvent("folder", "refused " + std::to_string(kLockRefusalsToTell) + " times in a row: the user is told");
    return nullptr;
  }
  if (counted) m_refusals.Taken();
  for (const auto& folder : {m_root, m_download}) {
    // By path first as well: where links do not show on a handle (Wine), they show here.
    if (auto problem = LinkProblem(folder)) {
      reason = *problem;
      return nullptr;
    }
    if (!CreateSharedFolder(folder, reason)) return nullptr;
    UniqueKernelHandle held = HoldFolder(folder, reason);
    if (!held) return nullptr;
    guard->folders.push_back(std::move(held));
  }
  // Only once both are held and checked: nothing is set on a folder that is not the one named.
  SetOwnPermissions(guard->folders);
  return guard;
}

void MachineSharedFolder::SetOwnPermissions(const std::vector<UniqueKernelHandle>& folders) {
  const std::wstring self = OwnSid();
  for (std::size_t i = 0; i < folders.size() && m_security.read; ++i) {
    const HANDLE held = folders[i].get();
    std::wstring owner, dacl;
    if (!m_security.read(held, owner, dacl)) continue;
    const std::string name = PathToUtf8(Bare(i == 0 ? m_root : m_download));
    const std::string identity = name + "|" + std::to_string(FolderIdentity(held));
    const UniqueSecurityDescriptor wanted = SecurityFromSddl(SharedFolderSddl(self));
    if (m_permissionsSet.count(identity) ||
        !PermissionsToApply(Narrow(owner), Narrow(self), Narrow(dacl), Narrow(DaclText(wanted.get()))))
      continue;
    std::string why;
    if (m_security.apply(held, SharedFolderSddl(self), why)) {
      m_permissionsSet.insert(identity);
      LogEvent("folder", "this account owns " + name + ": the tool's permissions were set on it");
    } else {
      LogEvent("folder", "this account owns " + name + " but its permissions could not be set: " + why);
    }
  }
}

std::optional<std::string> MachineSharedFolder::WriteProblem() {
  for (const auto& folder : {m_root, m_download}) {
    if (auto problem = LinkProblem(folder)) return problem;
  }
  return std::nullopt;
}

MachineSharedFolder& TheSharedFolder() {
  static MachineSharedFolder folder(SharedRoot(), SharedDownloadFolder());
  return folder;
}

}  // namespace zt
