// Stand-in hid.dll for the device tests: the attributes of a simulated device are read from its
// pipe's name ("\ZT_Sim_<name>_<vendor hex>_<product hex>"), and flushing drains the answers
// already waiting in the pipe.
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/sim_files.h"

namespace {

struct Attributes {  // HIDD_ATTRIBUTES
  ULONG Size;
  USHORT VendorID;
  USHORT ProductID;
  USHORT VersionNumber;
};

constexpr GUID kHidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

bool PipeName(HANDLE h, std::string* name) {
  std::vector<std::byte> buffer(sizeof(FILE_NAME_INFO) + 2048);
  auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
  if (!::GetFileInformationByHandleEx(h, FileNameInfo, info, static_cast<DWORD>(buffer.size()))) return false;
  const std::size_t chars = info->FileNameLength / sizeof(WCHAR);
  name->clear();
  for (std::size_t i = 0; i < chars; ++i) name->push_back(static_cast<char>(info->FileName[i]));
  return true;
}

}  // namespace

extern "C" {

void WINAPI HidD_GetHidGuid(GUID* guid) {
  if (guid) *guid = kHidGuid;
}

BOOLEAN WINAPI HidD_GetAttributes(HANDLE h, Attributes* attributes) {
  std::string name;
  if (!attributes || attributes->Size != sizeof(Attributes) || !PipeName(h, &name)) return FALSE;
  const std::size_t p = name.rfind('_');
  if (p == std::string::npos || p == 0) return FALSE;
  const std::size_t v = name.rfind('_', p - 1);
  if (v == std::string::npos || name.find("ZT_Sim_") == std::string::npos) return FALSE;
  unsigned long vid = 0, pid = 0;
  if (!zt::sim::ParseHex(name.substr(v + 1, p - v - 1), &vid) || !zt::sim::ParseHex(name.substr(p + 1), &pid))
    return FALSE;
  attributes->VendorID = static_cast<USHORT>(vid);
  attributes->ProductID = static_cast<USHORT>(pid);
  attributes->VersionNumber = 0x0100;
  return TRUE;
}

BOOLEAN WINAPI HidD_FlushQueue(HANDLE h) {
  // Drains whole messages that are waiting; never waits for one to arrive.
  for (int guard = 0; guard < 1024; ++guard) {
    DWORD available = 0;
    if (!::PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr)) return FALSE;
    if (available == 0) return TRUE;
    char sink[4096];
    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    BOOL ok = ::ReadFile(h, sink, sizeof sink, nullptr, &ov);
    if (!ok && (::GetLastError() == ERROR_IO_PENDING)) ok = ::GetOverlappedResult(h, &ov, &got, TRUE);
    const DWORD error = ::GetLastError();
    ::CloseHandle(ov.hEvent);
    if (!ok && error != ERROR_MORE_DATA) return FALSE;
  }
  return TRUE;
}

}  // extern "C"
