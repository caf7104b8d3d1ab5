// Error texts with the real code: "operation: (0x%08X) system text", without FormatMessage's CR LF.
#pragma once
#include <windows.h>
#include <string>
#include <string_view>

namespace zt {

std::string SystemErrorText(DWORD code);                        // the system's text alone, UTF-8
std::string ErrorText(std::string_view operation, DWORD code);  // "operation: (0x00000005) Access denied."
inline std::string LastErrorText(std::string_view operation) { return ErrorText(operation, ::GetLastError()); }

}  // namespace zt
