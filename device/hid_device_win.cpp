#include "device/hid_device_win.h"

#include <setupapi.h>

#include <memory>
#include <new>
#include <vector>

#include "win/error.h"
#include "win/system_dll.h"

namespace zt {
namespace {

HANDLE NewManualResetEvent() { return ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }

// The device path of one interface, or empty when its detail cannot be had. The buffer is sized
// by what the system asks for, so a path of any length fits.
std::wstring InterfacePath(HDEVINFO list, SP_DEVICE_INTERFACE_DATA* iface) {
  DWORD needed = 0;
  ::SetupDiGetDeviceInterfaceDetailW(list, iface, nullptr, 0, &needed, nullptr);
  if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return {};
  std::vector<std::byte> buffer(needed + sizeof(WCHAR));  // room for a terminator the system might omit
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!::SetupDiGetDeviceInterfaceDetailW(list, iface, detail, needed, nullptr, nullptr)) return {};
  const std::size_t offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
  const std::size_t maxChars = (needed - offset) / sizeof(WCHAR);
  std::size_t len = 0;
  while (len < maxChars && detail->DevicePath[len] != L'\0') ++len;
  return std::wstring(detail->DevicePath, len);
}

bool IsOurDevice(const std::wstring& path) {
  UniqueKernelHandle probe(::CreateFileW(path.c_str(), 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!probe) return false;
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof(attributes);
  if (!Hid()->HidD_GetAttributes(probe.get(), &attributes)) return false;
  return attributes.VendorID == kDeviceVendorId && attributes.ProductID == kDeviceProductId;
}

HANDLE OpenForTransfers(const std::wstring& path, DWORD access) {
  return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

}  // namespace

CHidDevice::CHidDevice()
    : m_hAbort(NewManualResetEvent()), m_hReadDone(NewManualResetEvent()), m_hWriteDone(NewManualResetEvent()) {}

CHidDevice::~CHidDevice() {
  CloseDevices();
  m_hWriteDone.reset();
  m_hReadDone.reset();
  m_hAbort.reset();
}

void CHidDevice::CloseDevices() {
  for (int i = 0; i < m_nCount; ++i) {
    if (m_hRead[i]) ::CancelIo(m_hRead[i].get());
    if (m_hWrite[i]) ::CancelIo(m_hWrite[i].get());
    m_hRead[i].reset();
    m_hWrite[i].reset();
  }
  m_nCount = 0;
}

int CHidDevice::OpenDevices() {
  CloseDevices();
  // hid.dll from System32 only; without it there is nothing to find.
  const HidFunctions* hid = Hid();
  if (!hid) return 0;
  GUID hidGuid;
  hid->HidD_GetHidGuid(&hidGuid);
  UniqueDevInfo list(::SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!list) return 0;
  try {
    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA iface{};
      iface.cbSize = sizeof(iface);
      if (!::SetupDiEnumDeviceInterfaces(list.get(), nullptr, &hidGuid, index, &iface)) break;
      // The slots hold 32 devices; further matching interfaces are left alone.
      if (m_nCount >= kMaxDevices) break;
      const std::wstring path = InterfacePath(list.get(), &iface);
      if (path.empty() || !IsOurDevice(path)) continue;
      // A matching device keeps its slot even when an open fails: that slot then holds -1.
      m_hRead[m_nCount].reset(OpenForTransfers(path, GENERIC_READ));
      if (!m_hRead[m_nCount]) m_strLastError = LastErrorText("CreateFileW for reading");
      m_hWrite[m_nCount].reset(OpenForTransfers(path, GENERIC_WRITE));
      if (!m_hWrite[m_nCount]) m_strLastError = LastErrorText("CreateFileW for writing");
      ++m_nCount;
    }
  } catch (const std::bad_alloc&) {
    // No memory for an interface's path: end the search as failed; what was opened stays counted
    // in the slots and is closed by CloseDevices or destruction.
    return 0;
  }
  list.reset();
  if (m_nCount == 0) return 0;
  m_nDeviceCount = m_nCount;
  m_bOpen = TRUE;
  return m_nCount;
}

BOOL CHidDevice::Transfer(int slot, bool write, DWORD* transferred) {
  if (transferred) *transferred = 0;
  if (slot < 0 || slot >= kMaxDevices) return FALSE;
  const HANDLE file = write ? m_hWrite[slot].get() : m_hRead[slot].get();
  const HANDLE done = write ? m_hWriteDone.get() : m_hReadDone.get();
  const char* operation = write ? "WriteFile" : "ReadFile";
  if (file == INVALID_HANDLE_VALUE) {
    m_strLastError = std::string(operation) + ": the device could not be opened for it";
    return FALSE;
  }
  OVERLAPPED ov{};
  ov.hEvent = done;
  ::ResetEvent(done);
  const BOOL started = write ? ::WriteFile(file, m_report.data(), kReportSize, nullptr, &ov)
                             : ::ReadFile(file, m_report.data(), kReportSize, nullptr, &ov);
  if (!started && ::GetLastError() != ERROR_IO_PENDING) {
    m_strLastError = LastErrorText(operation);
    return FALSE;
  }
  const HANDLE waits[2] = {m_hAbort.get(), done};
  const DWORD w = ::WaitForMultipleObjects(2, waits, FALSE, kTransferTimeoutMs);
  DWORD bytes = 0;
  if (w == WAIT_OBJECT_0 + 1) {
    ::ResetEvent(done);
    ::GetOverlappedResult(file, &ov, &bytes, TRUE);
    if (transferred) *transferred = bytes;
    return TRUE;
  }
  if (w == WAIT_OBJECT_0) ::ResetEvent(m_hAbort.get());
  // The request record and m_report must not be written after we return: cancel this request
  // and wait until the cancellation (or a completion that won the race) has landed.
  ::CancelIoEx(file, &ov);
  ::GetOverlappedResult(file, &ov, &bytes, TRUE);
  ::ResetEvent(done);
  m_strLastError = std::string(operation) + ": no completion within " + std::to_string(kTransferTimeoutMs) + " ms";
  return FALSE;
}

BOOL CHidDevice::WriteReport(int slot) { return Transfer(slot, true, nullptr); }

BOOL CHidDevice::ReadReport(int slot, DWORD* transferred) {
  DWORD local = 0;
  return Transfer(slot, false, transferred ? transferred : &local);
}

bool CHidDevice::SendAndReceive(std::uint8_t command, Answer& answer) {
  answer.fill(0xFF);
  const int slot = m_nDeviceCount - 1;
  if (slot < 0 || slot >= kMaxDevices) return false;
  // An answer that came too late for an earlier request would otherwise be taken for this one.
  if (m_hRead[slot] && Hid()) Hid()->HidD_FlushQueue(m_hRead[slot].get());
  BuildRequest(m_report, command);
  if (!WriteReport(slot)) return false;
  DWORD transferred = 0;
  if (!ReadReport(slot, &transferred)) return false;
  answer = AnswerFromReport(m_report, transferred);
  return true;
}

BOOL CHidDevice::QueryDataVersion() {
  if (!m_bOpen) return FALSE;
  Answer answer;
  if (!SendAndReceive(kCmdDataVersion, answer)) return FALSE;
  const DataVersionAnswer parsed = ParseDataVersionAnswer(answer);
  if (!parsed.valid) m_strLastError = "the data-version answer is not valid";
  if (!parsed.numbersParsed) return FALSE;
  m_nFirstNumber = parsed.firstNumber;
  m_nSecondNumber = parsed.secondNumber;
  m_nDataVersion = parsed.dataVersion;
  if (parsed.valid) {
    m_nFlashId = parsed.flashId;
    const FlashType* type = FindFlashType(parsed.flashId);
    m_strFlashName = type ? type->name : "";
    m_strFlashSize = type ? type->size : "";
  }
  return parsed.valid ? TRUE : FALSE;
}

std::string CHidDevice::QueryDeviceId() {
  if (!m_bOpen) return {};
  Answer answer;
  if (!SendAndReceive(kCmdDeviceId, answer)) return {};
  return ParseDeviceIdAnswer(answer);
}

}  // namespace zt
