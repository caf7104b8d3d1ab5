#include "base/notice.h"

#include <mutex>
#include <utility>

namespace zt {
namespace {

std::mutex g_mutex;
std::string g_notice;
unsigned g_waiting = 0;

}  // namespace

void SetInfoNotice(std::string utf8) {
  std::lock_guard lock(g_mutex);
  g_notice = std::move(utf8);
}

void ClearInfoNotice() { SetInfoNotice({}); }

std::string InfoNotice() {
  std::lock_guard lock(g_mutex);
  return g_notice;
}

void AddStartWaiting(unsigned what) {
  std::lock_guard lock(g_mutex);
  g_waiting |= what;
}

unsigned StartWaiting() {
  std::lock_guard lock(g_mutex);
  return g_waiting;
}

unsigned TakeStartWaiting() {
  std::lock_guard lock(g_mutex);
  return std::exchange(g_waiting, 0u);
}

}  // namespace zt
