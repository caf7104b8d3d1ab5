#include "update/install/shared_folder_win.h"

#include <windows.h>
#include <sddl.h>

#include <vector>

#include "base/fsutil.h"
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

// This process's account as an SDDL SID ("S-1-5-21-..."); empty when it cannot be read.
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

// A mutex owned by this thread, released and closed when the guard goes.
struct MutexGuard {
  UniqueKernelHandle mutex;
  bool owned = false;
  ~MutexGuard() {
    if (owned) ::ReleaseMutex(mutex.get());
  }
};

// This tool's turn and the machine-wide lock; the lock goes first.
struct SharedGuard {
  std::unique_lock<std::timed_mutex> turn;
  MutexGuard machine;
};

}  // namespace

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

std::shared_ptr<void> MachineSharedFolder::Lock(std::string& reason) { return Take(kTurnWait, reason); }

std::shared_ptr<void> MachineSharedFolder::TryLock(std::string& reason) {
  return Take(std::chrono::milliseconds(0), reason);
}

std::shared_ptr<void> MachineSharedFolder::Take(std::chrono::milliseconds turnWait, std::string& reason) {
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
    return nullptr;
  }
  for (const auto& folder : {m_root, m_download}) {
    if (auto problem = LinkProblem(folder)) {
      reason = *problem;
      return nullptr;
    }
    if (!CreateSharedFolder(folder, reason)) return nullptr;
  }
  return guard;
}

std::optional<std::string> MachineSharedFolder::WriteProblem() {
  for (const auto& folder : {m_root, m_download}) {
    if (auto problem = LinkProblem(folder)) return problem;
  }
  return std::nullopt;
}

MachineSharedFolder& TheSharedFolder() {
  static MachineSharedFolder folder(PathFromUtf8(kUpdateRoot), PathFromUtf8(kDownloadFolder));
  return folder;
}

}  // namespace zt
