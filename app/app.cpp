// Start-up and the process-wide helpers of the application object.
#include "app/app.h"

#include <cstdint>

#include "app/cmdline.h"
#include "app/fsutil.h"
#include "app/log.h"
#include "app/module_path.h"
#include "app/paths.h"
#include "ui/main_window.h"
#include "update/downloads.h"
#include "win/error.h"
#include "win/text.h"

namespace zt {

CAutoUpdateApp theApp;

bool ClaimSingleInstance(UniqueKernelHandle* mutex) {
  ::SetLastError(ERROR_SUCCESS);
  HANDLE handle = ::CreateMutexW(nullptr, FALSE, Widen(kMutexName).c_str());
  const DWORD error = ::GetLastError();
  mutex->reset(handle);
  return error != ERROR_ALREADY_EXISTS;
}

BOOL CAutoUpdateApp::InitInstance() {
  UniqueKernelHandle mutex;
  // Another instance runs: end silently, show nothing, leave it as it is.
  if (!ClaimSingleInstance(&mutex)) return FALSE;
  const DWORD mutexError = mutex ? ERROR_SUCCESS : ::GetLastError();

  SetLogPath(PathFromUtf8(std::string(kUpdateRoot) + kLogName));
  LogEvent("start", "version " + m_strAppVersion + ", command line " + Narrow(::GetCommandLineW()));
  if (!mutex) LogEvent("mutex", ErrorText("CreateMutexW", mutexError));
  // Temporary files of transfers that a crash or power loss cut off.
  RemoveStaleDownloads();

  if (!LoadLocalVersion()) {
    const LocalDescriptor local = m_state.Local();
    LogEvent("descriptor", "local version.txt missing or incomplete (data_version \"" + local.dataVersion + "\")");
  }
  RunMainWindow();
  LogEvent("exit");
  return FALSE;
}

BOOL CAutoUpdateApp::DownloadVersionFile(std::chrono::milliseconds budget) {
  const int stored = DownloadFile(kDescriptorName, 0, budget);
  const auto file = PathFromUtf8(kDownloadFolder) / kDescriptorName;
  const bool ok = m_state.TakeDownloadedServerText(stored != 0, file);
  if (!ok) LogEvent("descriptor", stored ? "server version.txt stored but unreadable or empty" : "server version.txt not downloaded");
  return ok ? TRUE : FALSE;
}

BOOL CAutoUpdateApp::LoadLocalVersion() { return m_state.LoadLocalVersion(PathFromUtf8(kUpdateRoot)) ? TRUE : FALSE; }

std::string GetModulePath() {
  return Narrow(ReadWholePath([](wchar_t* buffer, std::uint32_t size) -> std::uint32_t {
    return ::GetModuleFileNameW(nullptr, buffer, size);
  }));
}

int GetArgCount() { return GetArgCountOf(Narrow(::GetCommandLineW())); }

std::string GetArg(int n) { return GetArgOf(Narrow(::GetCommandLineW()), n); }

int AppMessageBox(std::string_view text, UINT type) {
  const std::string caption = PathToUtf8(PathFromUtf8(GetModulePath()).stem());
  return ::MessageBoxW(::GetActiveWindow(), Widen(text).c_str(), Widen(caption).c_str(), type);
}

}  // namespace zt
