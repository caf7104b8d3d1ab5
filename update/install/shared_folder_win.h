// The update folder that every account of the PC shares (C:\ZT_Update\ and its Download\): the
// machine-wide lock around work on it, its folders held open while the lock is held (so that no
// other account can swap one for a link after it was checked), the refusal to write through a link
// that another account put in place of one of its folders, and the permissions it is created with
// (and set again on a folder of this user's that lacks them).
#pragma once
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "update/install/procedures.h"
#include "update/install/shared_folder.h"
#include "win/handles.h"

namespace zt {

inline constexpr wchar_t kSharedMutexName[] = L"Global\\ZT_AutoUpdate_Shared";

// Other accounts may create, read and change files in the folder, but not delete, rename or
// re-permission the folder itself (nor make a subfolder that could become a link); the account
// that creates it, administrators and the system keep full control. `userSid` in SDDL form.
std::wstring SharedFolderSddl(const std::wstring& userSid);

// This process's account as an SDDL SID ("S-1-5-21-..."); empty when it cannot be read.
std::wstring OwnSid();

// Why `folder` may not be written through: it is a link (junction or symbolic link) or not a
// folder; nullopt when it is a plain folder or does not exist yet. By path: what a moment later may
// be another folder; the lock's guard checks the folders on the handles it holds them by.
std::optional<std::string> LinkProblem(const std::filesystem::path& folder);

// How a held folder's owner and permissions are read and set (the Windows tests give their own, as
// Wine keeps no permissions).
struct FolderSecurity {
  // The owner (SDDL SID) and the permissions (SDDL DACL) of the folder held by `folder`; false when
  // they cannot be read.
  std::function<bool(HANDLE folder, std::wstring& owner, std::wstring& dacl)> read;
  // Sets the permissions `sddl` on the folder itself; false and a reason when it cannot.
  std::function<bool(HANDLE folder, const std::wstring& sddl, std::string& reason)> apply;
};
// GetSecurityInfo, and SetKernelObjectSecurity on the folder alone.
FolderSecurity SystemFolderSecurity();

// Creates the folder, when missing, with the permissions of SharedFolderSddl for this account, through
// `create` (CreateDirectoryW; the Windows tests read what it is given, as Wine keeps no permissions).
// False and a reason when it cannot be made.
bool CreateSharedFolder(const std::filesystem::path& folder, std::string& reason,
                        decltype(&::CreateDirectoryW) create = &::CreateDirectoryW);

class MachineSharedFolder final : public SharedFolder {
 public:
  MachineSharedFolder(std::filesystem::path root, std::filesystem::path download,
                      std::wstring mutexName = kSharedMutexName, FolderSecurity security = SystemFolderSecurity())
      : m_root(std::move(root)),
        m_download(std::move(download)),
        m_mutexName(std::move(mutexName)),
        m_security(std::move(security)) {}
  // The lock, then the folders made when missing, held open (others may read and write in them but
  // not rename, delete or replace them) and checked on the handles that hold them; a folder this
  // account owns gets the tool's permissions again when it lacks them. The workers of this tool take
  // turns (one waits up to kTurnWait for another); another tool's lock refuses at once, and the
  // third such refusal in a row tells the user (LockRefusals).
  std::shared_ptr<void> Lock(std::string& reason) override;
  // The same without waiting for this tool's own workers: for the window's thread.
  std::shared_ptr<void> TryLock(std::string& reason);
  // The same for work no user waits for (the start-up clean-up): its refusals are not counted.
  std::shared_ptr<void> TryLockUncounted(std::string& reason);
  std::optional<std::string> WriteProblem() override;
  const LockRefusals& Refusals() const { return m_refusals; }

  static constexpr std::chrono::minutes kTurnWait{10};

 private:
  std::shared_ptr<void> Take(std::chrono::milliseconds turnWait, bool counted, std::string& reason);
  // Folders this account owns (held open, checked) get the tool's permissions again, once a process.
  void SetOwnPermissions(const std::vector<UniqueKernelHandle>& folders);

  std::filesystem::path m_root, m_download;
  std::wstring m_mutexName;
  FolderSecurity m_security;
  // A named mutex is owned by a thread: a second worker of this process would find it held and
  // take it for another tool's. This tool's workers queue here first.
  std::timed_mutex m_turn;
  LockRefusals m_refusals;
  // The folders (by name and identity on the volume) whose permissions this process has set: each
  // once, as a system that keeps none (Wine) would have them set at every turn.
  std::set<std::string> m_permissionsSet;
};

// The tool's own: C:\ZT_Update\ and C:\ZT_Update\Download\.
MachineSharedFolder& TheSharedFolder();

}  // namespace zt
