// The device link: finds the attached devices among the HID interfaces, moves 65-byte reports
// with transfers bounded at 100 ms, and asks the last device found for its data version and
// identity. One short-lived object per poll, used on the main thread only.
#pragma once
#include <windows.h>

#include <array>
#include <string>

#include "device/protocol.h"
#include "win/handles.h"

namespace zt {

// A device slot: INVALID_HANDLE_VALUE (-1) when it holds no handle.
struct HidSlotTraits : KernelHandleTraits {
  static Type None() noexcept { return INVALID_HANDLE_VALUE; }
};
using HidSlot = UniqueHandle<HidSlotTraits>;

inline constexpr int kMaxDevices = 32;
inline constexpr DWORD kTransferTimeoutMs = 100;
inline constexpr USHORT kDeviceVendorId = 0x0416;
inline constexpr USHORT kDeviceProductId = 0xB501;

class CHidDevice {
 public:
  CHidDevice();
  ~CHidDevice();
  CHidDevice(const CHidDevice&) = delete;
  CHidDevice& operator=(const CHidDevice&) = delete;

  // Closes what is open, then opens every attached matching device (at most 32); the number found.
  int OpenDevices();
  void CloseDevices();
  // One bounded transfer of m_report on a slot; FALSE on time-out or when it cannot start.
  BOOL WriteReport(int slot);
  BOOL ReadReport(int slot, DWORD* transferred);
  // The two queries, addressed to the last device found.
  BOOL QueryDataVersion();
  std::string QueryDeviceId();

  // Observers for the watch's log and for tests.
  int SlotCount() const { return m_nCount; }
  HANDLE ReadSlot(int i) const { return m_hRead[i].get(); }
  HANDLE WriteSlot(int i) const { return m_hWrite[i].get(); }
  const Report& ReportBuffer() const { return m_report; }
  // Why the last open or transfer that failed did so, with its Windows error; empty when none did.
  const std::string& LastError() const { return m_strLastError; }

  int m_nFirstNumber = 0;
  int m_nDataVersion = 0;
  int m_nSecondNumber = 0;
  int m_nDeviceCount = 0;
  BOOL m_bOpen = FALSE;
  // Flash type of the last valid data-version answer: name and size text, empty when unknown.
  std::string m_strFlashName;
  std::string m_strFlashSize;
  unsigned m_nFlashId = 0;

 private:
  BOOL Transfer(int slot, bool write, DWORD* transferred);
  bool SendAndReceive(std::uint8_t command, zt::Answer& answer);

  Report m_report{};
  std::string m_strLastError;
  int m_nCount = 0;
  std::array<HidSlot, kMaxDevices> m_hRead;
  std::array<HidSlot, kMaxDevices> m_hWrite;
  UniqueKernelHandle m_hAbort;
  UniqueKernelHandle m_hReadDone;
  UniqueKernelHandle m_hWriteDone;
};

}  // namespace zt
