// The Run-key value through the registry; failures are told by the tool's message box and logged.
#include <windows.h>

#include <string>

#include "app/app.h"
#include "app/autorun.h"
#include "app/log.h"
#include "app/paths.h"
#include "win/error.h"
#include "win/handles.h"
#include "win/text.h"

namespace zt {

bool IsAutoRunEnabled() {
  HKEY raw = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen(kRunKeyPath).c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return false;
  UniqueHKey key(raw);
  // Asking for the size alone: a value of any length, any text, counts as registered.
  DWORD size = 0;
  return ::RegQueryValueExW(key.get(), Widen(kRunValueName).c_str(), nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
}

long WriteAutoRunValue(std::string_view command, bool enable, bool* openFailed) {
  HKEY raw = nullptr;
  const LONG opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen(kRunKeyPath).c_str(), 0, KEY_SET_VALUE, &raw);
  if (openFailed) *openFailed = opened != ERROR_SUCCESS;
  if (opened != ERROR_SUCCESS) return opened;
  UniqueHKey key(raw);
  const std::wstring name = Widen(kRunValueName);
  if (!enable) return ::RegDeleteValueW(key.get(), name.c_str());
  const std::wstring data = Widen(command);
  const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));  // with its NUL
  return ::RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()), bytes);
}

void SetAutoRun(std::string_view command, bool enable) {
  bool openFailed = false;
  const long result = WriteAutoRunValue(command, enable, &openFailed);
  if (openFailed) {
    LogEvent("autorun", ErrorText("RegOpenKeyExW Run", static_cast<DWORD>(result)));
    AppMessageBox("无法设置，可能是权限不够，请退出并以管理员身份重新运行本程序！", MB_OK | MB_ICONEXCLAMATION);
    return;
  }
  if (result != ERROR_SUCCESS) {
    LogEvent("autorun", ErrorText(enable ? "RegSetValueExW ZT_AutoUpdate" : "RegDeleteValueW ZT_AutoUpdate",
                                  static_cast<DWORD>(result)));
    AppMessageBox("设置失败！", MB_OK | MB_ICONEXCLAMATION);
    return;
  }
  LogEvent("autorun", enable ? "registered " + std::string(command) : std::string("removed"));
}

}  // namespace zt
