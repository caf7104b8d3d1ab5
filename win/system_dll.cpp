#include "win/system_dll.h"

#include <string>

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

// Binds each member of a table to the function of the same name; the first failure is kept as
// the reason. The module stays loaded for the life of the process.
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
  const std::string& Problem() const { return m_problem; }

 private:
  void Fail(const std::string& why) {
    if (m_problem.empty()) m_problem = "System32 " + std::string(m_dll, m_dll + wcslen(m_dll)) + ": " + why;
  }
  const wchar_t* m_dll;
  HMODULE m_module;
  std::string m_problem;
};

template <class Api>
struct Loaded {
  Api api;
  std::string problem;
  const Api* Table() const { return problem.empty() ? &api : nullptr; }
};

#define ZT_BIND(name) bind(loaded.api.name, #name);
#define ZT_LOADER(Api, dll, LIST)    \
  [] {                               \
    Loaded<Api> loaded;              \
    Binder bind(dll);                \
    LIST(ZT_BIND)                    \
    loaded.problem = bind.Problem(); \
    return loaded;                   \
  }()

const Loaded<HidFunctions>& HidDll() {
  static const Loaded<HidFunctions> loaded = ZT_LOADER(HidFunctions, L"hid.dll", ZT_HID_FUNCTIONS);
  return loaded;
}
const Loaded<WinInetFunctions>& WinInetDll() {
  static const Loaded<WinInetFunctions> loaded = ZT_LOADER(WinInetFunctions, L"wininet.dll", ZT_WININET_FUNCTIONS);
  return loaded;
}
const Loaded<BcryptFunctions>& BcryptDll() {
  static const Loaded<BcryptFunctions> loaded = ZT_LOADER(BcryptFunctions, L"bcrypt.dll", ZT_BCRYPT_FUNCTIONS);
  return loaded;
}

}  // namespace

void RestrictDllSearch() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // Without it, at least the current folder leaves the search path.
  ::SetDllDirectoryW(L"");
}

const HidFunctions* Hid() { return HidDll().Table(); }
const WinInetFunctions* WinInet() { return WinInetDll().Table(); }
const BcryptFunctions* Bcrypt() { return BcryptDll().Table(); }
const std::string& HidProblem() { return HidDll().problem; }
const std::string& WinInetProblem() { return WinInetDll().problem; }
const std::string& BcryptProblem() { return BcryptDll().problem; }

}  // namespace zt
