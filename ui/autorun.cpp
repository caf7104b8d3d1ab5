#include "ui/autorun.h"

#include <vector>

#include "base/paths.h"

namespace zt {
namespace {

// The path's parts, lower-cased (ASCII), "." dropped and ".." taking its parent with it; the drive
// or the UNC server stays the first part. "\\?\C:\x" is C:\x, "\\?\UNC\s\x" is \\s\x.
std::vector<std::string> PathParts(std::string_view path) {
  std::string text(path);
  for (char& c : text) {
    if (c == '/') c = '\\';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (text.starts_with("\\\\?\\unc\\"))
    text = "\\\\" + text.substr(8);
  else if (text.starts_with("\\\\?\\"))
    text = text.substr(4);
  std::vector<std::string> parts;
  if (text.starts_with("\\\\")) parts.push_back("\\\\");  // a UNC path never matches a drive's
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('\\', at);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(at, end - at);
    if (part == "..") {
      if (parts.size() > 1) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  return parts;
}

}  // namespace

std::string BuildAutoRunCommand(std::string_view exePath) {
  std::string command = "\"";
  command += exePath;
  command += "\" ";
  command += kAutoHideSwitch;
  return command;
}

bool IsInsideFolder(std::string_view path, std::string_view folder) {
  const std::vector<std::string> inner = PathParts(path), outer = PathParts(folder);
  if (outer.empty() || inner.size() <= outer.size()) return false;
  for (size_t i = 0; i < outer.size(); ++i) {
    if (inner[i] != outer[i]) return false;
  }
  return true;
}

RunScope DecideRunScope(std::string_view exePath, const ProfileFolders& folders) {
  for (const std::string* folder : {&folders.profiles, &folders.userProfile, &folders.localAppData}) {
    if (IsInsideFolder(exePath, *folder)) return RunScope::UserOnly;
  }
  return RunScope::MachineFirst;
}

std::string_view RunCommandProgram(std::string_view command) {
  const size_t start = command.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  command.remove_prefix(start);
  if (command.front() == '"') {
    command.remove_prefix(1);
    return command.substr(0, command.find('"'));
  }
  return command.substr(0, command.find_first_of(" \t"));
}

bool StartsOwnProfileCopy(std::string_view command, const ProfileFolders& folders) {
  const std::string_view program = RunCommandProgram(command);
  return IsInsideFolder(program, folders.userProfile) || IsInsideFolder(program, folders.localAppData);
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
