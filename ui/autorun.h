// Registration for start at log-on: the value "ZT_AutoUpdate" in a Run key. The machine-wide key
// (32-bit registry view, shared with the installed base) is preferred; where the user may not
// write it, the user's own Run key holds the value instead.
#pragma once
#include <string>
#include <string_view>

namespace zt {

// The Run value's command text: the executable path in quotes, then " /autohide", so a path with
// blanks neither runs the wrong program nor loses the switch.
std::string BuildAutoRunCommand(std::string_view exePath);

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
