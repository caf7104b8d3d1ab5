// Registration for start at log-on: the value "ZT_AutoUpdate" under HKLM's Run key.
#pragma once
#include <string>
#include <string_view>

namespace zt {

// The Run value's command text: the executable path in quotes, then " /autohide", so a path with
// blanks neither runs the wrong program nor loses the switch.
std::string BuildAutoRunCommand(std::string_view exePath);

#ifdef _WIN32
// TRUE when the value exists and can be read (any length, any text).
bool IsAutoRunEnabled();
// Writes (enable) or deletes the value; on failure shows the tool's message box. Never throws.
void SetAutoRun(std::string_view command, bool enable);
// The registry step of SetAutoRun without any message box: 0 on success, else the Windows error
// code; *openFailed tells whether the key itself could not be opened for writing.
long WriteAutoRunValue(std::string_view command, bool enable, bool* openFailed);
#endif

}  // namespace zt
