// Start-up and the process-wide helpers of the application object.
#include "app/app.h"

#include <cstdint>

#include "app/cmdline.h"
#include "app/fsutil.h"
#include "app/log.h"
#include "app/module_path.h"
#include "app/paths.h"
#include "ui/main_window.h"
#include "update/crypto_win.h"
#include "update/downloads.h"
#include "win/error.h"
#include "win/text.h"

namespace zt {

CAutoUpdateApp theApp;

namespace {

// Under Wine without a window manager each hidden window costs 2 s; on Windows it takes a moment.
constexpr auto kEndInstanceWait = std::chrono::seconds(10);
// How long a start by the replacement script waits for the old process to give up the marker.
constexpr auto kReplacedStartWait = std::chrono::seconds(10);
constexpr DWORD kMarkerPollMs = 100;

// Waits for the marker to become free and claims it; false when `wait` passed first.
bool ClaimWhenFree(UniqueKernelHandle* mutex, std::chrono::milliseconds wait) {
  for (auto waited = std::chrono::milliseconds(0); waited < wait; waited += std::chrono::milliseconds(kMarkerPollMs)) {
    mutex->reset();  // our handle to the other instance's marker would keep it alive
    ::Sleep(kMarkerPollMs);
    if (ClaimSingleInstance(mutex)) return true;
  }
  return false;
}

}  // namespace

bool ClaimSingleInstance(UniqueKernelHandle* mutex) {
  ::SetLastError(ERROR_SUCCESS);
  HANDLE handle = ::CreateMutexW(nullptr, FALSE, Widen(kMutexName).c_str());
  const DWORD error = ::GetLastError();
  mutex->reset(handle);
  return error != ERROR_ALREADY_EXISTS;
}

bool InstanceRunning() {
  UniqueKernelHandle marker(::OpenMutexW(SYNCHRONIZE, FALSE, Widen(kMutexName).c_str()));
  return marker || ::GetLastError() != ERROR_FILE_NOT_FOUND;
}

UINT EndInstanceMessage() {
  static const UINT message = ::RegisterWindowMessageW(Widen(kEndInstanceMessage).c_str());
  return message;
}

UINT EndRunningInstance(std::chrono::milliseconds wait) {
  if (!InstanceRunning()) return 0;
  // Every top-level window gets it, hidden ones included; only our main window acts on it.
  if (EndInstanceMessage() != 0) ::PostMessageW(HWND_BROADCAST, EndInstanceMessage(), 0, 0);
  for (auto waited = std::chrono::milliseconds(0); waited < wait; waited += std::chrono::milliseconds(kMarkerPollMs)) {
    ::Sleep(kMarkerPollMs);
    if (!InstanceRunning()) return 0;
  }
  return 1;
}

BOOL CAutoUpdateApp::InitInstance() {
  SetLogPath(PathFromUtf8(std::string(kUpdateRoot) + kLogName));
  const std::string commandLine = Narrow(::GetCommandLineW());
  const LaunchRequest request = DecideLaunchRequest(commandLine);
  if (request == LaunchRequest::EndRunningInstance) {
    const bool wasRunning = InstanceRunning();
    m_nExitCode = EndRunningInstance(kEndInstanceWait);
    if (wasRunning)
      LogEvent("quit", m_nExitCode == 0 ? "asked by /exit: the tool has ended" : "asked by /exit: the tool still runs");
    return FALSE;
  }

  UniqueKernelHandle mutex;
  bool first = ClaimSingleInstance(&mutex);
  if (!first && request == LaunchRequest::RunAfterReplacement) first = ClaimWhenFree(&mutex, kReplacedStartWait);
  // Another instance runs: end silently, show nothing, leave it as it is.
  if (!first) return FALSE;
  const DWORD mutexError = mutex ? ERROR_SUCCESS : ::GetLastError();

  LogEvent("start", "version " + m_strAppVersion + ", command line " + commandLine);
  if (!mutex) LogEvent("mutex", ErrorText("CreateMutexW", mutexError));
  // Temporary files of transfers that a crash or power loss cut off, and the old executable a
  // finished replacement left aside.
  RemoveStaleDownloads();
  RemoveReplacedExecutable(GetModulePath());
  if (!BuiltInTrust().KeyBuiltIn()) LogEvent("trust", "this build has no update key: updates are not verified");

  if (!LoadLocalVersion()) {
    const LocalDescriptor local = m_state.Local();
    LogEvent("descriptor", "local version.txt missing or incomplete (data_version \"" +
                               LogValue(GbkToUtf8(local.dataVersion)) + "\")");
  }
  RunMainWindow();
  LogEvent("exit");
  return FALSE;
}

bool CAutoUpdateApp::TakeFetchedDescriptor(bool stored) {
  const auto file = PathFromUtf8(kDownloadFolder) / kDescriptorName;
  std::string refusal;
  const auto check = [](std::string_view fetched, std::string_view installed) {
    return BuiltInTrust().FetchedRefusal(fetched, installed);
  };
  const bool ok = m_state.TakeDownloadedServerText(stored, file, check, &refusal);
  if (!refusal.empty()) {
    // Used by nothing, kept by nothing: the tool goes on as if the server could not be reached.
    std::error_code ec;
    std::filesystem::remove(file, ec);
    LogEvent("descriptor", "server version.txt refused: " + refusal);
  } else if (!ok) {
    LogEvent("descriptor",
             stored ? "server version.txt stored but unreadable or empty" : "server version.txt not downloaded");
  }
  return ok;
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
