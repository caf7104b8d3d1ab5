// The device being written: the data-update program waited for on a worker, so the window, its
// tray icon and menu, "/exit" and a restarted shell are answered throughout; the device read back
// once the program has ended; and meanwhile the PC kept from sleeping and Windows' end of session
// held off with a reason. The window owns one session at a time and hears its end as
// WM_DATA_WRITE_DONE.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "ui/data_write.h"
#include "ui/watch.h"
#include "update/install/data_launch_win.h"

namespace zt {

class DataWriteSession {
 public:
  DataWriteSession(HWND window, DataProgramLaunch launch, UniqueKernelHandle process, DevicePoll device,
                   std::uint32_t newest);
  ~DataWriteSession();
  DataWriteSession(const DataWriteSession&) = delete;
  DataWriteSession& operator=(const DataWriteSession&) = delete;

  // False when no worker could wait for the program (the session then ends at once as "still
  // running": nothing is known of the write).
  bool Watching() const { return m_watching; }
  const DevicePoll& Device() const { return m_device; }
  std::uint32_t Newest() const { return m_newest; }
  // After WM_DATA_WRITE_DONE: what the worker saw.
  WriteRun Result() const;

 private:
  struct Shared;
  HWND m_window;
  DataProgramLaunch m_launch;  // its lock is let go on this (the window's) thread
  DevicePoll m_device;
  std::uint32_t m_newest;
  std::shared_ptr<Shared> m_shared;
  bool m_watching = false;
};

// Reads the device back after a write: polls until it holds `newest` (or newer), or has answered
// with older data for kReadBackSettleMs, or has not answered for kReadBackMs (at once when it was
// not there before the write either). The last poll.
DevicePoll ReadBackDevice(std::uint32_t newest, bool seenBefore);

}  // namespace zt
