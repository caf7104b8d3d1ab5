// The Run value through the registry; failures are logged with their codes and told by the tool's
// message box.
#include "ui/autorun_win.h"

#include <shlobj.h>

#include <cwchar>
#include <optional>

#include "win/process.h"
#include "base/log.h"
#include "base/module_path.h"
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

// The value's text, or nothing when the key or the value is missing or it is no string.
std::optional<std::string> ReadValue(const RunPlace& place) {
  UniqueHKey key;
  if (place.open(place.root, place.path.c_str(), 0, KEY_QUERY_VALUE | place.view, key.put()) != ERROR_SUCCESS)
    return std::nullopt;
  DWORD type = 0, bytes = 0;
  if (::RegQueryValueExW(key.get(), ValueName().c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return std::nullopt;
  std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
  if (::RegQueryValueExW(key.get(), ValueName().c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &bytes) != ERROR_SUCCESS)
    return std::nullopt;
  data.resize(std::wcslen(data.c_str()));  // stored with or without its NUL
  return Narrow(data);
}

std::string KnownFolder(REFKNOWNFOLDERID id) {
  PWSTR path = nullptr;
  const HRESULT found = ::SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path);
  std::string folder = found == S_OK && path ? Narrow(path) : std::string();
  ::CoTaskMemFree(path);
  return folder;
}

// Short (8.3) parts spelt out, so that C:\Users\ADMINI~1\... is seen inside C:\Users\Administrator.
std::string LongPath(std::string_view path) {
  const std::wstring wide = Widen(path);
  const std::wstring longer = ReadWholePath([&](wchar_t* buffer, std::uint32_t size) -> std::uint32_t {
    return ::GetLongPathNameW(wide.c_str(), buffer, size);
  });
  return longer.empty() ? std::string(path) : Narrow(longer);
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

bool HasOwnMachineValue(const RunPlaces& places) {
  const std::optional<std::string> data = ReadValue(places.machine);
  return data && StartsOwnProfileCopy(*data, places.folders);
}

// A machine-wide value naming this user's profile started this user's copy in every account: it
// goes where this account may remove it. `moved` receives its text once it is gone.
RunKeyResult RemoveOwnMachineValue(const RunPlaces& places, std::string* moved = nullptr) {
  const std::optional<std::string> data = ReadValue(places.machine);
  if (!data || !StartsOwnProfileCopy(*data, places.folders)) return RunKeyResult::Absent;
  const RunKeyResult removed = Change(places.machine, {}, false, "HKLM Run");
  if (removed == RunKeyResult::Done) {
    LogEvent("autorun",
             "the machine-wide value started this user's copy in every account; a copy inside a "
             "profile registers for its user alone");
    if (moved) *moved = *data;
  } else {
    LogEvent("autorun", "the machine-wide value " + *data +
                            " starts this user's copy in every account and stays: only an administrator may remove it");
  }
  return removed;
}

}  // namespace

ProfileFolders CurrentProfileFolders() {
  return {KnownFolder(FOLDERID_UserProfiles), KnownFolder(FOLDERID_Profile), KnownFolder(FOLDERID_LocalAppData)};
}

RunPlaces RunPlacesFor(std::string_view exePath) {
  RunPlaces places{{HKEY_LOCAL_MACHINE, Widen(kRunKeyPath), KEY_WOW64_32KEY, false},
                   {HKEY_CURRENT_USER, Widen(kRunKeyPath), 0, true},
                   RunScope::MachineFirst,
                   CurrentProfileFolders()};
  places.scope = DecideRunScope(LongPath(exePath), places.folders);
  return places;
}

const RunPlaces& DefaultRunPlaces() {
  static const RunPlaces places = [] {
    RunPlaces p = RunPlacesFor(GetModulePath());
    if (p.scope == RunScope::UserOnly) LogEvent("autorun", "inside a user profile: the Run value is this user's alone");
    return p;
  }();
  return places;
}

bool IsAutoRunEnabled(const RunPlaces& places) {
  if (places.scope == RunScope::MachineFirst) return HasValue(places.machine) || HasValue(places.user);
  // The user's start at log-on stays as it was, now in the user's key.
  std::string moved;
  if (RemoveOwnMachineValue(places, &moved) == RunKeyResult::Done && !HasValue(places.user))
    Change(places.user, moved, true, "HKCU Run");
  // A value that could not be removed still starts this copy: the box says so.
  return HasValue(places.user) || HasOwnMachineValue(places);
}

AutoRunMessage ChangeAutoRun(std::string_view command, bool enable, const RunPlaces& places) {
  if (places.scope == RunScope::UserOnly) {
    const RunKeyResult user = Change(places.user, command, enable, "HKCU Run");
    const RunKeyResult machine = RemoveOwnMachineValue(places);
    if (enable) return EnableMessage(RunKeyResult::Absent, user);
    return DisableMessage(machine, user, HasOwnMachineValue(places), HasValue(places.user));
  }
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
