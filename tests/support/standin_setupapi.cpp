// Stand-in setupapi.dll for the device tests: presents every device that the simulator serves
// (its state.txt) as a present HID interface whose device path is the device's named pipe.
// Only what the tool and Wine's own user32/gdi32 may call is exported; the display-related
// entries that user32/gdi32 delay-load answer honestly with "no device".
#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/sim_files.h"

namespace {

struct InterfaceData {  // SP_DEVICE_INTERFACE_DATA
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
};
struct InterfaceDetailW {  // SP_DEVICE_INTERFACE_DETAIL_DATA_W
  DWORD cbSize;
  WCHAR DevicePath[1];
};

constexpr DWORD kMagic = 0x5A544456;  // "ZTDV"
struct DeviceList {
  DWORD magic = kMagic;
  GUID guid{};
  std::vector<std::wstring> paths;
};

// The HID interface class; the stand-in hid.dll hands out the same value.
constexpr GUID kHidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

DeviceList* AsList(HANDLE h) {
  auto* list = reinterpret_cast<DeviceList*>(h);
  if (h == nullptr || h == INVALID_HANDLE_VALUE || list->magic != kMagic) return nullptr;
  return list;
}

std::vector<std::wstring> PresentPaths() {
  std::vector<std::wstring> paths;
  std::istringstream in(zt::sim::ReadWholeFile(zt::sim::SimDir() + L"state.txt"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string kind, name, vid, pid, path;
    if (!(words >> kind >> name >> vid >> pid >> path) || kind != "device") continue;
    paths.emplace_back(path.begin(), path.end());  // pipe paths are ASCII
  }
  return paths;
}

}  // namespace

extern "C" {

HANDLE WINAPI SetupDiGetClassDevsW(const GUID* guid, PCWSTR, HWND, DWORD flags) {
  auto* list = new DeviceList;
  if (guid) list->guid = *guid;
  if (guid && *guid == kHidGuid && (flags & 0x10 /* DIGCF_DEVICEINTERFACE */)) list->paths = PresentPaths();
  return reinterpret_cast<HANDLE>(list);
}

HANDLE WINAPI SetupDiCreateDeviceInfoList(const GUID* guid, HWND) {
  auto* list = new DeviceList;
  if (guid) list->guid = *guid;
  return reinterpret_cast<HANDLE>(list);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HANDLE h) {
  DeviceList* list = AsList(h);
  if (!list) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  list->magic = 0;
  delete list;
  return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HANDLE h, void*, const GUID* guid, DWORD index, InterfaceData* data) {
  DeviceList* list = AsList(h);
  if (!list || !data || data->cbSize != sizeof(InterfaceData)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!guid || *guid != list->guid || index >= list->paths.size()) {
    ::SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = *guid;
  data->Flags = 1;  // SPINT_ACTIVE
  data->Reserved = index;
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HANDLE h, InterfaceData* data, InterfaceDetailW* detail, DWORD size,
                                             DWORD* required, void*) {
  DeviceList* list = AsList(h);
  if (!list || !data || data->Reserved >= list->paths.size()) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::wstring& path = list->paths[data->Reserved];
  const DWORD needed = static_cast<DWORD>(offsetof(InterfaceDetailW, DevicePath) + (path.size() + 1) * sizeof(WCHAR));
  if (required) *required = needed;
  if (!detail) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(InterfaceDetailW)) {
    ::SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (size < needed) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  path.copy(detail->DevicePath, path.size());
  detail->DevicePath[path.size()] = L'\0';
  return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HANDLE, DWORD, void*) {
  ::SetLastError(ERROR_NO_MORE_ITEMS);
  return FALSE;
}

BOOL WINAPI SetupDiOpenDeviceInfoW(HANDLE, PCWSTR, HWND, DWORD, void*) {
  ::SetLastError(ERROR_NOT_FOUND);
  return FALSE;
}

BOOL WINAPI SetupDiGetDevicePropertyW(HANDLE, void*, const void*, ULONG*, BYTE*, DWORD, DWORD*, DWORD) {
  ::SetLastError(ERROR_NOT_FOUND);
  return FALSE;
}

}  // extern "C"
