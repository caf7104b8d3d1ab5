#include "win/error.h"

#include <cstdio>

#include "win/system_dll.h"
#include "win/text.h"

namespace zt {

std::string SystemErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE source = nullptr;
  // WinINet's codes (12001..12175) live in its own message table.
  if (code >= 12000 && code < 13000) {
    source = ::GetModuleHandleW(L"wininet.dll");
    if (source) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  }
  const DWORD n = ::FormatMessageW(flags, source, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n && buffer ? std::wstring(buffer, n) : std::wstring();
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
  return Narrow(text);
}

std::string ErrorText(std::string_view operation, DWORD code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
  std::string out(operation);
  out += ": (";
  out += hex;
  out += ") ";
  out += SystemErrorText(code);
  // The server's own words (an FTP or proxy answer) come from a call of their own.
  if (code == ERROR_INTERNET_EXTENDED_ERROR && WinInet()) {
    DWORD error = 0, length = 0;
    WinInet()->InternetGetLastResponseInfoW(&error, nullptr, &length);
    std::wstring text(length + 1, L'\0');
    if (length > 0 && WinInet()->InternetGetLastResponseInfoW(&error, text.data(), &length)) {
      text.resize(length);
      out += " (" + Narrow(text) + ")";
    }
  }
  return out;
}

}  // namespace zt
