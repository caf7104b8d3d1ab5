// When the information refresh may start a fetch of the server's descriptor (on a worker). A fetch
// that failed (server down, stalled, unreachable, refused) is not retried at once: the wait doubles
// from 3 ticks up to 300 ticks, so a dead network or a bad publication is not asked every third second.
// A success brings back the ordinary pace, every third tick. Portable; ticks are watch ticks.
#pragma once
#include <cstdint>

namespace zt {

inline constexpr std::uint32_t kFetchWaitFirstTicks = 3;
inline constexpr std::uint32_t kFetchWaitMaxTicks = 300;

class FetchBackoff {
 public:
  // True when a fetch may run at `tick`.
  bool Due(std::uint32_t tick) const;
  // Records the result of the fetch made at `tick`.
  void Record(std::uint32_t tick, bool succeeded);

  std::uint32_t Wait() const { return m_wait; }          // ticks after the last fetch; 0 at start
  std::uint32_t Failures() const { return m_failures; }  // consecutive failed fetches

 private:
  std::uint32_t m_last = 0;
  std::uint32_t m_wait = 0;
  std::uint32_t m_failures = 0;
};

}  // namespace zt
