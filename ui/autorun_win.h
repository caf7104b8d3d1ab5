// The Run value in the registry: where it lives and how the check box and the question change it.
#pragma once
#include <windows.h>

#include <string>
#include <string_view>

#include "ui/autorun.h"

namespace zt {

// One Run key: root, path and registry view. `open` is RegOpenKeyExW; the Windows tests put a
// refusing one in its place to play an account without rights to the key.
struct RunPlace {
  HKEY root;
  std::wstring path;
  REGSAM view;
  bool create;  // the user's Run key may not exist yet in a new profile
  decltype(&::RegOpenKeyExW) open = &::RegOpenKeyExW;
};
struct RunPlaces {
  RunPlace machine;  // HKLM, 32-bit view: older installations and both builds share this value
  RunPlace user;     // HKCU: where an account without administrator rights registers
  RunScope scope = RunScope::MachineFirst;
  ProfileFolders folders;  // this user's: tell this user's own machine-wide value from others'
};
// This user's folders as the system names them (FOLDERID_UserProfiles, _Profile, _LocalAppData).
ProfileFolders CurrentProfileFolders();
// The Run keys for a copy at `exePath` (its long form), with the scope its folder gives it.
RunPlaces RunPlacesFor(std::string_view exePath);
// RunPlacesFor(this executable), decided once.
const RunPlaces& DefaultRunPlaces();

// True when either key holds the value (any length, any text); a copy inside a profile reads only
// the user's key. Such a copy first moves a machine-wide value naming this user's profile (an
// earlier version wrote it) to the user's key and removes it where it may, saying so in the log.
bool IsAutoRunEnabled(const RunPlaces& places = DefaultRunPlaces());
// Writes (enable) or removes the value as the check box asks; logs each failure with its code and
// returns what the user is to be told. Never shows anything itself. A copy inside a profile writes
// and removes the user's value only, and removes a machine-wide value naming this user's profile.
AutoRunMessage ChangeAutoRun(std::string_view command, bool enable, const RunPlaces& places = DefaultRunPlaces());
// ChangeAutoRun, then the tool's message box when there is something to tell.
void SetAutoRun(std::string_view command, bool enable, const RunPlaces& places = DefaultRunPlaces());

}  // namespace zt
