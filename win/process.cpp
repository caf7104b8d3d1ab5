#include "win/process.h"

#include <shlobj.h>

#include <system_error>

#include "base/cmdline.h"
#include "base/fsutil.h"
#include "base/module_path.h"
#include "base/paths.h"
#include "win/text.h"

namespace zt {

std::string GetModulePath() { return InstalledPath(GetStartedPath()); }

std::string GetStartedPath() {
  return Narrow(ReadWholePath([](wchar_t* buffer, std::uint32_t size) -> std::uint32_t {
    return ::GetModuleFileNameW(nullptr, buffer, size);
  }));
}

int GetArgCount() { return GetArgCountOf(Narrow(::GetCommandLineW())); }

std::string GetArg(int n) { return GetArgOf(Narrow(::GetCommandLineW()), n); }

std::filesystem::path PrivateFolder() {
  PWSTR local = nullptr;
  const HRESULT found = ::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &local);
  std::filesystem::path folder =
      found == S_OK ? std::filesystem::path(local) / L"ZT_AutoUpdate" : std::filesystem::path();
  ::CoTaskMemFree(local);
  std::error_code ec;
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  return folder;
}

int AppMessageBox(std::string_view text, UINT type) {
  const std::string caption = PathToUtf8(PathFromUtf8(GetModulePath()).stem());
  return ::MessageBoxW(::GetActiveWindow(), Widen(text).c_str(), Widen(caption).c_str(), type);
}

UINT EndInstanceMessage() {
  static const UINT message = ::RegisterWindowMessageW(Widen(kEndInstanceMessage).c_str());
  return message;
}

}  // namespace zt
