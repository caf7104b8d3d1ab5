// This process as the rest of the tool sees it: its executable, its command line, the user's own
// folder of the tool, message boxes under its name, and the message that asks it to end.
#pragma once
#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace zt {

// The executable's full path as installed (UTF-8), whatever its length: the Run value, the next
// self-update and the message boxes name it. A new version that still runs from its checked copy
// beside the executable gives the executable's own path (base/module_path.h's InstalledPath).
std::string GetModulePath();
// The path this process was started from (GetModuleFileNameW, UTF-8).
std::string GetStartedPath();
// The readers over this process's command line (GetCommandLineW as UTF-8).
int GetArgCount();
std::string GetArg(int n);
// This user's own folder of the tool, %LOCALAPPDATA%\ZT_AutoUpdate (created when missing); no other
// account may write there. Empty when the system names no such folder.
std::filesystem::path PrivateFolder();
// A message box with the application title (the executable's name without extension) as caption.
int AppMessageBox(std::string_view text, UINT type);
// The registered message that asks the main window to end the program ("/exit").
UINT EndInstanceMessage();

}  // namespace zt
