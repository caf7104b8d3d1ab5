#include "base/notice.h"

#include <mutex>

namespace zt {
namespace {

std::mutex g_mutex;
std::string g_notice;

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

}  // namespace zt
