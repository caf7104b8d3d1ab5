#include "ui/fetch_backoff.h"

#include <algorithm>

namespace zt {

bool FetchBackoff::Due(std::uint32_t tick) const {
  if (m_wait == 0) return true;
  // Ticks only grow; a tick below the last fetch (counter wrapped) counts as due.
  return tick < m_last || tick - m_last >= m_wait;
}

void FetchBackoff::Record(std::uint32_t tick, bool succeeded) {
  m_last = tick;
  if (succeeded) {
    m_failures = 0;
    m_wait = kFetchWaitFirstTicks;
    return;
  }
  ++m_failures;
  m_wait = m_failures == 1 ? kFetchWaitFirstTicks : std::min(m_wait * 2, kFetchWaitMaxTicks);
}

}  // namespace zt
