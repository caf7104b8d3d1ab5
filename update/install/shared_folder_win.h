// The update folder that every account of the PC shares (C:\ZT_Update\ and its Download\): the
// machine-wide lock around work on it, the refusal to write through a link that another account
// put in place of one of its folders, and the permissions it is created with.
#pragma once
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "update/install/procedures.h"

namespace zt {

inline constexpr wchar_t kSharedMutexName[] = L"Global\\ZT_AutoUpdate_Shared";

// Other accounts may create, read and change files in the folder, but not delete, rename or
// re-permission the folder itself (nor make a subfolder that could become a link); the account
// that creates it, administrators and the system keep full control. `userSid` in SDDL form.
std::wstring SharedFolderSddl(const std::wstring& userSid);

// Why `folder` may not be written through: it is a link (junction or symbolic link) or not a
// folder; nullopt when it is a plain folder or does not exist yet.
std::optional<std::string> LinkProblem(const std::filesystem::path& folder);

// Creates the folder, when missing, with the permissions of SharedFolderSddl for this account, through
// `create` (CreateDirectoryW; the Windows tests read what it is given, as Wine keeps no permissions).
// False and a reason when it cannot be made.
bool CreateSharedFolder(const std::filesystem::path& folder, std::string& reason,
                        decltype(&::CreateDirectoryW) create = &::CreateDirectoryW);

class MachineSharedFolder final : public SharedFolder {
 public:
  MachineSharedFolder(std::filesystem::path root, std::filesystem::path download,
                      std::wstring mutexName = kSharedMutexName)
      : m_root(std::move(root)), m_download(std::move(download)), m_mutexName(std::move(mutexName)) {}
  // The lock, then the folders made when missing and checked for links. The workers of this tool
  // take turns (one waits up to kTurnWait for another); another tool's lock refuses at once.
  std::shared_ptr<void> Lock(std::string& reason) override;
  // The same without waiting for this tool's own workers: for the window's thread.
  std::shared_ptr<void> TryLock(std::string& reason);
  std::optional<std::string> WriteProblem() override;

  static constexpr std::chrono::minutes kTurnWait{10};

 private:
  std::shared_ptr<void> Take(std::chrono::milliseconds turnWait, std::string& reason);

  std::filesystem::path m_root, m_download;
  std::wstring m_mutexName;
  // A named mutex is owned by a thread: a second worker of this process would find it held and
  // take it for another tool's. This tool's workers queue here first.
  std::timed_mutex m_turn;
};

// The tool's own: C:\ZT_Update\ and C:\ZT_Update\Download\.
MachineSharedFolder& TheSharedFolder();

}  // namespace zt
