// The Run value through the registry; failures are logged with their codes and told by the tool's
// message box.
#include "ui/autorun_win.h"

#include "win/process.h"
#include "base/log.h"
#include "base/paths.h"
#include "win/error.h"
#include "win/handles.h"
#include "win/text.h"

namespace zt {
namespace {

const std::wstring& ValueName() {
  static const std::wstring name = Widen(kRunValueName);
  return name;
}

bool HasValue(const RunPlace& place) {
  UniqueHKey key;
  if (place.open(place.root, place.path.c_str(), 0, KEY_QUERY_VALUE | place.view, key.put()) != ERROR_SUCCESS)
    return false;
  // Asking for the size alone: a value of any length, any text, counts as registered.
  DWORD size = 0;
  return ::RegQueryValueExW(key.get(), ValueName().c_str(), nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
}

RunKeyResult Change(const RunPlace& place, std::string_view command, bool enable, std::string_view where) {
  UniqueHKey key;
  const REGSAM access = KEY_SET_VALUE | place.view;
  const LONG opened = enable && place.create ? ::RegCreateKeyExW(place.root, place.path.c_str(), 0, nullptr, 0, access,
                                                                 nullptr, key.put(), nullptr)
                                             : place.open(place.root, place.path.c_str(), 0, access, key.put());
  if (opened != ERROR_SUCCESS) {
    // Without rights to the machine-wide key this is the ordinary case, not worth a line when removing.
    if (enable || opened != ERROR_ACCESS_DENIED)
      LogEvent("autorun", ErrorText("RegOpenKeyExW " + std::string(where), static_cast<DWORD>(opened)));
    return RunKeyResult::Refused;
  }
  LONG result;
  if (enable) {
    const std::wstring data = Widen(command);
    const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));  // with its NUL
    result =
        ::RegSetValueExW(key.get(), ValueName().c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()), bytes);
  } else {
    result = ::RegDeleteValueW(key.get(), ValueName().c_str());
    if (result == ERROR_FILE_NOT_FOUND) return RunKeyResult::Absent;
  }
  if (result == ERROR_SUCCESS) {
    LogEvent("autorun", std::string(enable ? "registered in " : "removed from ") + std::string(where) +
                            (enable ? ": " + std::string(command) : std::string()));
    return RunKeyResult::Done;
  }
  LogEvent("autorun", ErrorText(std::string(enable ? "RegSetValueExW " : "RegDeleteValueW ") + std::string(where),
                                static_cast<DWORD>(result)));
  return RunKeyResult::Failed;
}

}  // namespace

const RunPlaces& DefaultRunPlaces() {
  static const RunPlaces places{{HKEY_LOCAL_MACHINE, Widen(kRunKeyPath), KEY_WOW64_32KEY, false},
                                {HKEY_CURRENT_USER, Widen(kRunKeyPath), 0, true}};
  return places;
}

bool IsAutoRunEnabled(const RunPlaces& places) { return HasValue(places.machine) || HasValue(places.user); }

AutoRunMessage ChangeAutoRun(std::string_view command, bool enable, const RunPlaces& places) {
  const RunKeyResult machine = Change(places.machine, command, enable, "HKLM Run");
  if (enable) {
    const RunKeyResult user =
        machine == RunKeyResult::Done ? RunKeyResult::Absent : Change(places.user, command, true, "HKCU Run");
    return EnableMessage(machine, user);
  }
  const RunKeyResult user = Change(places.user, command, false, "HKCU Run");
  return DisableMessage(machine, user, HasValue(places.machine), HasValue(places.user));
}

void SetAutoRun(std::string_view command, bool enable, const RunPlaces& places) {
  const AutoRunMessage message = ChangeAutoRun(command, enable, places);
  if (message != AutoRunMessage::None) AppMessageBox(AutoRunMessageText(message), MB_OK | MB_ICONEXCLAMATION);
}

}  // namespace zt
