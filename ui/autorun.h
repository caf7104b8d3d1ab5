// Registration for start at log-on: the value "ZT_AutoUpdate" in a Run key. A copy installed outside
// every user profile prefers the machine-wide key (32-bit registry view, shared with the installed
// base) and falls back to the user's own where it may not write that; a copy inside a user profile
// registers in the user's own key alone.
#pragma once
#include <string>
#include <string_view>

namespace zt {

// The Run value's command text: the executable path in quotes, then " /autohide", so a path with
// blanks neither runs the wrong program nor loses the switch.
std::string BuildAutoRunCommand(std::string_view exePath);

// The folders that tell a per-user copy from one installed for the machine: the folder holding every
// profile (C:\Users), and this user's profile and local application data. Empty when unknown.
struct ProfileFolders {
  std::string profiles;
  std::string userProfile;
  std::string localAppData;
};

enum class RunScope {
  MachineFirst,  // outside every profile: the machine-wide value, else the user's
  UserOnly,      // inside a profile: only that user may run it, so only that user's Run key
};

// True when `path` lies inside `folder` (not the folder itself), compared as Windows would: case
// (ASCII) ignored, either slash, "\\?\" and "." or ".." parts resolved. An empty folder holds nothing.
bool IsInsideFolder(std::string_view path, std::string_view folder);
RunScope DecideRunScope(std::string_view exePath, const ProfileFolders& folders);
// The program a Run value starts: the quoted path, or the text up to the first blank.
std::string_view RunCommandProgram(std::string_view command);
// True when the Run value `command` starts a program inside this user's own profile: machine-wide,
// such a value (an earlier version's) starts one user's copy in every account.
bool StartsOwnProfileCopy(std::string_view command, const ProfileFolders& folders);

// What one Run key did with a write or a delete.
enum class RunKeyResult {
  Done,     // written, or the value removed
  Absent,   // delete: there was no value
  Refused,  // the key could not be opened for writing (no rights, no key)
  Failed,   // the key opened, the write or delete failed
};

// What the user is told after a change of the check box.
enum class AutoRunMessage {
  None,
  Failed,  // "设置失败！"
  // "无法设置，可能是权限不够，…": a machine-wide value stays that only an administrator may remove
  NeedsAdministrator,
};

// Enabling tries the machine key, then (when that was not Done) the user key.
AutoRunMessage EnableMessage(RunKeyResult machine, RunKeyResult user);
// Disabling removes the value from both keys; `machineRemains`/`userRemains` tell what is left.
AutoRunMessage DisableMessage(RunKeyResult machine, RunKeyResult user, bool machineRemains, bool userRemains);

std::string_view AutoRunMessageText(AutoRunMessage message);

}  // namespace zt
