#include "base/thread.h"

#include <string>
#include <system_error>
#include <thread>

#include "base/log.h"

namespace zt {

bool StartDetached(std::string_view name, std::function<void()> body) {
  try {
    std::thread([what = std::string(name), body = std::move(body)] {
      try {
        body();
      } catch (...) {
        LogEvent(what, "stopped by an unexpected error");
      }
    }).detach();
    return true;
  } catch (const std::system_error& e) {
    LogEvent(name, std::string("no thread could be started: ") + e.what());
    return false;
  }
}

}  // namespace zt
