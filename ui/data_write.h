// A write of the device by the data-update program, judged by reading the device back: what the
// program's end and the device's answer afterwards mean, what the user is told, what the history
// keeps, and when the tool tries again by itself. Portable: the window's side starts the program,
// waits for it on a worker and reads the device back; the decisions are here.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/history.h"
#include "ui/watch.h"

namespace zt {

// How long the device may take to answer again after the program has ended (it may drop off the
// bus and come back), and how long it must keep answering with the old data before the write is
// judged not taken.
inline constexpr std::uint32_t kReadBackMs = 40000;
inline constexpr std::uint32_t kReadBackSettleMs = 5000;
// What the worker saw of one run of the data-update program.
struct WriteRun {
  bool ended = false;  // false: still running after the 30-minute cap (not read back)
  std::uint32_t exitCode = 0;
  DevicePoll readBack;  // the last poll; found = false when the device never answered
};

enum class WriteVerdict {
  Written,        // the device holds the newest data (or newer)
  NotTaken,       // the program ended with status 0, the device still holds older data
  ProgramFailed,  // the program ended with another status, the device holds older data
  Unplugged,      // the device did not answer within the read-back time
  StillRunning,   // the program ran past the 30-minute cap
};

struct WriteJudgement {
  WriteVerdict verdict = WriteVerdict::Written;
  std::string balloon;  // UTF-8
  Outcome outcome;
};

// `newest` is the installed descriptor's data version (N), `before` the device as it answered before
// the write (not found: the user started the program with no device there); `failuresBefore` the
// failed writes of this version to this device so far.
WriteJudgement JudgeWrite(const WriteRun& run, std::uint32_t newest, const DevicePoll& before, int failuresBefore);

}  // namespace zt
