// The update folder that every account of the PC shares (C:\ZT_Update\ and its Download\): the
// machine-wide lock around work on it, the refusal to write through a link that another account
// put in place of one of its folders, and the permissions it is created with.
#pragma once
#include <windows.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "update/procedures.h"

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
  // The lock, then the folders made when missing and checked for links.
  std::shared_ptr<void> Lock(std::string& reason) override;
  std::optional<std::string> WriteProblem() override;

 private:
  std::filesystem::path m_root, m_download;
  std::wstring m_mutexName;
};

// The tool's own: C:\ZT_Update\ and C:\ZT_Update\Download\.
SharedFolder& TheSharedFolder();

}  // namespace zt
