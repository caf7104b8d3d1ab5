// Start-up and the process-wide helpers of the application object.
#include "app/app.h"

#include <shlobj.h>

#include <cstdint>

#include "app/cmdline.h"
#include "app/fsutil.h"
#include "app/log.h"
#include "app/module_path.h"
#include "app/paths.h"
#include "ui/main_window.h"
#include "app/user_state_win.h"
#include "update/crypto_win.h"
#include "update/downloads.h"
#include "update/self_update_win.h"
#include "update/shared_folder_win.h"
#include "win/error.h"
#include "win/text.h"

namespace zt {

CAutoUpdateApp theApp;

namespace {

// Under Wine without a window manager each hidden window costs 2 s; on Windows it takes a moment.
constexpr auto kEndInstanceWait = std::chrono::seconds(10);
// How long a replaced start waits for the previous version to give up the marker (it is started
// while the previous version still ends its work), and how often it looks.
constexpr auto kReplacedStartWait = std::chrono::seconds(10);
constexpr DWORD kMarkerPollMs = 20;

// One line appended whole: the system appends each write of a handle opened for appending only at
// the end of the file, also when another process appends at the same moment.
bool AppendWhole(const std::filesystem::path& file, std::string_view line) {
  UniqueKernelHandle h(::CreateFileW(file.c_str(), FILE_APPEND_DATA,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return h && ::WriteFile(h.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
         written == line.size();
}

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
  // The update folder is made by the tool (when missing) before anything is written in it, with
  // permissions that keep other accounts from replacing it; nothing is written through a link.
  std::string folderProblem;
  CreateSharedFolder(PathFromUtf8(kUpdateRoot), folderProblem);
  SetLogFolderCheck([](const std::filesystem::path& folder) { return !LinkProblem(folder); });
  SetLogAppender(AppendWhole);
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

  UniqueKernelHandle& mutex = m_instanceMarker;
  const ULONGLONG claimStart = ::GetTickCount64();
  bool first = ClaimSingleInstance(&mutex);
  if (!first && request == LaunchRequest::RunAfterReplacement) first = ClaimWhenFree(&mutex, kReplacedStartWait);
  // Another instance runs: end silently, show nothing, leave it as it is.
  if (!first) return FALSE;
  const DWORD mutexError = mutex ? ERROR_SUCCESS : ::GetLastError();

  LogEvent("start", "version " + m_strAppVersion + ", command line " + commandLine);
  if (request == LaunchRequest::RunAfterReplacement)
    LogEvent("start", "the previous version gave up the marker after " +
                          std::to_string(::GetTickCount64() - claimStart) + " ms");
  if (!mutex) LogEvent("mutex", ErrorText("CreateMutexW", mutexError));
  // Temporary files of transfers that a crash or power loss cut off, and what a finished
  // replacement left beside the executable; a replaced start leaves the old copy to the process
  // that waits for its confirmation.
  RemoveStaleDownloads();
  m_bReplacedStart = request == LaunchRequest::RunAfterReplacement;
  if (!m_bReplacedStart) RemoveReplacedExecutable(PathFromUtf8(GetModulePath()));
  if (!BuiltInTrust().KeyBuiltIn()) LogEvent("trust", "this build has no update key: updates are not verified");

  if (!LoadLocalVersion()) {
    const LocalDescriptor local = m_state.Local();
    LogEvent("descriptor", "local version.txt missing or incomplete (data_version \"" +
                               LogValue(GbkToUtf8(local.dataVersion)) + "\")");
  }
  RunMainWindow();
  // A new version swapped in meanwhile was started as the window ended; this process waits to
  // see it come up, or brings the old one back.
  mutex.reset();
  CompletePendingReplacement();
  LogEvent("exit");
  return FALSE;
}

bool CAutoUpdateApp::TakeFetchedDescriptor(bool stored) {
  const auto file = PathFromUtf8(kDownloadFolder) / kDescriptorName;
  std::string refusal;
  const auto check = [](std::string_view fetched, std::string_view installed) {
    return BuiltInTrust().AcceptFetched(fetched, installed, TheUserState());
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

std::filesystem::path PrivateFolder() {
  PWSTR local = nullptr;
  if (::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &local) != S_OK) {
    ::CoTaskMemFree(local);
    LogEvent("folders", "the system names no local application data folder for this user");
    return {};
  }
  std::filesystem::path folder = std::filesystem::path(local) / L"ZT_AutoUpdate";
  ::CoTaskMemFree(local);
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  return folder;
}

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
