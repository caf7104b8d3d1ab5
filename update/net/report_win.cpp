#include "update/net/report_win.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/log.h"
#include "base/paths.h"
#include "base/thread.h"
#include "update/net/downloads_win.h"
#include "update/net/report.h"
#include "update/net/server_setting.h"
#include "win/handles.h"

namespace zt {
namespace {

// A report that the server does not take within this is dropped: it is never worth a wait.
constexpr auto kReportBudget = std::chrono::milliseconds(15000);

constexpr char kProcessor[] =
#if defined(_WIN64)
    "x64";
#else
    "x86";
#endif

std::mutex g_pendingMutex;
std::condition_variable g_pendingDone;
int g_pending = 0;

}  // namespace

bool ReportsAllowed() {
  // The policy is the machine's, in its own registry view whatever this build's processor.
  UniqueHKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS)
    return true;
  DWORD value = 1, size = sizeof value, type = 0;
  const LSTATUS status =
      ::RegQueryValueExW(key.get(), kSendReportsValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  return status != ERROR_SUCCESS || type != REG_DWORD || value != 0;
}

void SendReport(const Outcome& outcome) {
  if (!ReportsAllowed()) return;
  const std::string path = ReportPath(outcome, kAppVersion, kProcessor);
  {
    std::lock_guard lock(g_pendingMutex);
    ++g_pending;
  }
  const bool started = StartDetached("report", [path] {
    struct Done {
      ~Done() {
        std::lock_guard lock(g_pendingMutex);
        --g_pending;
        g_pendingDone.notify_all();
      }
    } done;
    const int status = RequestOnce(UpdateServerAddress(), path, kReportBudget);
    LogEvent("report", path + (status == 0 ? " not sent" : " answered " + std::to_string(status)));
  });
  if (!started) {
    std::lock_guard lock(g_pendingMutex);
    --g_pending;
  }
}

void WaitForReports(std::chrono::milliseconds wait) {
  std::unique_lock lock(g_pendingMutex);
  g_pendingDone.wait_for(lock, wait, [] { return g_pending == 0; });
}

}  // namespace zt
