#include "ui/autorun.h"

#include "base/paths.h"

namespace zt {

std::string BuildAutoRunCommand(std::string_view exePath) {
  std::string command = "\"";
  command += exePath;
  command += "\" ";
  command += kAutoHideSwitch;
  return command;
}

AutoRunMessage EnableMessage(RunKeyResult machine, RunKeyResult user) {
  if (machine == RunKeyResult::Done || user == RunKeyResult::Done) return AutoRunMessage::None;
  return AutoRunMessage::Failed;
}

AutoRunMessage DisableMessage(RunKeyResult machine, RunKeyResult user, bool machineRemains, bool userRemains) {
  // The box then stays ticked, truthfully: only an administrator can stop the machine-wide start.
  if (machineRemains) return AutoRunMessage::NeedsAdministrator;
  if (userRemains) return AutoRunMessage::Failed;
  // Nothing was there to remove: the value went by other means, as a failed delete always said.
  if (machine != RunKeyResult::Done && user != RunKeyResult::Done) return AutoRunMessage::Failed;
  return AutoRunMessage::None;
}

std::string_view AutoRunMessageText(AutoRunMessage message) {
  switch (message) {
    case AutoRunMessage::Failed:
      return "设置失败！";
    case AutoRunMessage::NeedsAdministrator:
      return "无法设置，可能是权限不够，请退出并以管理员身份重新运行本程序！";
    case AutoRunMessage::None:
      break;
  }
  return {};
}

}  // namespace zt
