// Owning wrappers for Windows handles: move-only, closed exactly once, release() hands over.
#pragma once
#include <windows.h>
#include <setupapi.h>
#include <utility>

namespace zt {

template <class Traits>
class UniqueHandle {
 public:
  using value_type = typename Traits::Type;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(value_type h) noexcept : m_h(h) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& o) noexcept : m_h(o.release()) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  value_type get() const noexcept { return m_h; }
  // For a call that hands out a new handle through an out-parameter: closes the old one first.
  value_type* put() noexcept {
    reset();
    return &m_h;
  }
  explicit operator bool() const noexcept { return Traits::Valid(m_h); }
  value_type release() noexcept { return std::exchange(m_h, Traits::None()); }
  void reset(value_type h = Traits::None()) noexcept {
    if (Traits::Valid(m_h)) Traits::Close(m_h);
    m_h = h;
  }

 private:
  value_type m_h = Traits::None();
};

struct KernelHandleTraits {  // both NULL and INVALID_HANDLE_VALUE mean "none"
  using Type = HANDLE;
  static Type None() noexcept { return nullptr; }
  static bool Valid(Type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) noexcept { ::CloseHandle(h); }
};
struct RegKeyTraits {
  using Type = HKEY;
  static Type None() noexcept { return nullptr; }
  static bool Valid(Type h) noexcept { return h != nullptr; }
  static void Close(Type h) noexcept { ::RegCloseKey(h); }
};
struct DevInfoTraits {
  using Type = HDEVINFO;
  static Type None() noexcept { return INVALID_HANDLE_VALUE; }
  static bool Valid(Type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) noexcept { ::SetupDiDestroyDeviceInfoList(h); }
};
struct MenuTraits {
  using Type = HMENU;
  static Type None() noexcept { return nullptr; }
  static bool Valid(Type h) noexcept { return h != nullptr; }
  static void Close(Type h) noexcept { ::DestroyMenu(h); }
};
struct IconTraits {
  using Type = HICON;
  static Type None() noexcept { return nullptr; }
  static bool Valid(Type h) noexcept { return h != nullptr; }
  static void Close(Type h) noexcept { ::DestroyIcon(h); }
};
struct ModuleTraits {
  using Type = HMODULE;
  static Type None() noexcept { return nullptr; }
  static bool Valid(Type h) noexcept { return h != nullptr; }
  static void Close(Type h) noexcept { ::FreeLibrary(h); }
};

struct DeviceNotifyTraits {
  using Type = HDEVNOTIFY;
  static Type None() noexcept { return nullptr; }
  static bool Valid(Type h) noexcept { return h != nullptr; }
  static void Close(Type h) noexcept { ::UnregisterDeviceNotification(h); }
};

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueHKey = UniqueHandle<RegKeyTraits>;
using UniqueDevInfo = UniqueHandle<DevInfoTraits>;
using UniqueMenu = UniqueHandle<MenuTraits>;
using UniqueIcon = UniqueHandle<IconTraits>;
using UniqueModule = UniqueHandle<ModuleTraits>;
using UniqueDeviceNotify = UniqueHandle<DeviceNotifyTraits>;

}  // namespace zt
