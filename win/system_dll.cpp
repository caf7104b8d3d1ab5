#include "win/system_dll.h"

#include <string>

#include "app/log.h"
#include "win/error.h"

namespace zt {
namespace {

HMODULE LoadFromSystem32(const wchar_t* name) {
  if (HMODULE m = ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) return m;
  // Windows 7 without the search-flag update does not know the flag: name the file in full, and
  // let its own imports be searched from there.
  if (::GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
  wchar_t folder[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(folder, n) + L"\\" + name;
  return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Binds each member named in the list below to the function of the same name; false when the DLL
// or any function is missing. The module stays loaded for the life of the process.
class Binder {
 public:
  explicit Binder(const wchar_t* dll) : m_dll(dll), m_module(LoadFromSystem32(dll)) {
    if (!m_module) Fail(ErrorText("LoadLibraryExW", ::GetLastError()));
  }
  template <class Fn>
  void operator()(Fn& fn, const char* name) {
    if (!m_module) return;
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(m_module, name)));
    if (!fn) Fail(ErrorText(std::string("GetProcAddress ") + name, ::GetLastError()));
  }
  bool Ok() const { return m_ok; }

 private:
  void Fail(const std::string& why) {
    m_ok = false;
    LogEvent("system", "System32 " + std::string(m_dll, m_dll + wcslen(m_dll)) + ": " + why);
  }
  const wchar_t* m_dll;
  HMODULE m_module;
  bool m_ok = true;
};

#define ZT_BIND(fn) bind(api.fn, #fn)

}  // namespace

void RestrictDllSearch() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // Without it, at least the current folder leaves the search path.
  ::SetDllDirectoryW(L"");
}

const HidFunctions* Hid() {
  static const HidFunctions* const loaded = [] {
    static HidFunctions api;
    Binder bind(L"hid.dll");
    ZT_BIND(HidD_GetHidGuid);
    ZT_BIND(HidD_GetAttributes);
    ZT_BIND(HidD_FlushQueue);
    return bind.Ok() ? &api : nullptr;
  }();
  return loaded;
}

const WinInetFunctions* WinInet() {
  static const WinInetFunctions* const loaded = [] {
    static WinInetFunctions api;
    Binder bind(L"wininet.dll");
    ZT_BIND(InternetOpenW);
    ZT_BIND(InternetConnectW);
    ZT_BIND(HttpOpenRequestW);
    ZT_BIND(HttpSendRequestW);
    ZT_BIND(HttpQueryInfoW);
    ZT_BIND(InternetReadFile);
    ZT_BIND(InternetSetOptionW);
    ZT_BIND(InternetQueryOptionW);
    ZT_BIND(InternetCloseHandle);
    ZT_BIND(InternetGetLastResponseInfoW);
    return bind.Ok() ? &api : nullptr;
  }();
  return loaded;
}

const BcryptFunctions* Bcrypt() {
  static const BcryptFunctions* const loaded = [] {
    static BcryptFunctions api;
    Binder bind(L"bcrypt.dll");
    ZT_BIND(BCryptOpenAlgorithmProvider);
    ZT_BIND(BCryptCloseAlgorithmProvider);
    ZT_BIND(BCryptCreateHash);
    ZT_BIND(BCryptHashData);
    ZT_BIND(BCryptFinishHash);
    ZT_BIND(BCryptDestroyHash);
    ZT_BIND(BCryptImportKeyPair);
    ZT_BIND(BCryptVerifySignature);
    ZT_BIND(BCryptDestroyKey);
    return bind.Ok() ? &api : nullptr;
  }();
  return loaded;
}

}  // namespace zt
