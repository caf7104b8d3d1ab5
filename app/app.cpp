// Start-up and the process-wide helpers of the application object.
#include "app/app.h"

#include <cstdint>

#include "base/cmdline.h"
#include "base/fsutil.h"
#include "base/history.h"
#include "base/log.h"
#include "base/paths.h"
#include "ui/main_window.h"
#include "update/trust/user_state_win.h"
#include "update/trust/crypto_win.h"
#include "update/downloads.h"
#include "update/install/replaced_start_win.h"
#include "update/install/self_update_win.h"
#include "update/net/report_win.h"
#include "update/install/shared_folder_win.h"
#include "win/error.h"
#include "win/process.h"
#include "win/system_dll.h"
#include "win/text.h"

namespace zt {

CAutoUpdateApp theApp;

namespace {

// Under Wine without a window manager each hidden window costs 2 s; on Windows it takes a moment.
constexpr auto kEndInstanceWait = std::chrono::seconds(10);
// A replaced start is made while the previous version still ends its work: it waits for the marker
// as long as the previous process lives (at most kReplacedStartLimit, should that process hang),
// then a little longer (kReplacedStartWait; all a start of the earlier order, which names no
// process, gets). How often it looks.
constexpr auto kReplacedStartWait = std::chrono::seconds(10);
constexpr auto kReplacedStartLimit = std::chrono::minutes(5);
constexpr DWORD kMarkerPollMs = 20;
// How long the end of the process waits for reports still on their way.
constexpr auto kReportsAtExitWait = std::chrono::seconds(3);
// A log line waits at most about this long for another writer of the same log (the previous and
// the new version of the tool during a self-update take turns in far less).
constexpr ULONGLONG kLogTurnWaitMs = 200;

// Waits for the marker to become free and claims it; false when the previous version has ended
// (or was never named) and `wait` has passed since, or when `limit` has passed.
bool ClaimWhenFree(UniqueKernelHandle* mutex, std::chrono::milliseconds wait, std::chrono::milliseconds limit) {
  const ULONGLONG start = ::GetTickCount64();
  ULONGLONG previousSeen = start;
  for (;;) {
    mutex->reset();  // our handle to the other instance's marker would keep it alive
    ::Sleep(kMarkerPollMs);
    if (ClaimSingleInstance(mutex)) return true;
    const ULONGLONG now = ::GetTickCount64();
    if (now - start >= static_cast<ULONGLONG>(limit.count())) return false;
    if (PreviousVersionRuns()) {
      previousSeen = now;
    } else if (now - previousSeen >= static_cast<ULONGLONG>(wait.count())) {
      return false;
    }
  }
}

}  // namespace

bool AppendLogLine(const std::filesystem::path& file, std::string_view line) {
  UniqueKernelHandle h(::CreateFileW(file.c_str(), FILE_READ_DATA | FILE_APPEND_DATA,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return false;
  // The writers take turns on one byte far beyond any log's end, which keeps no reader from the
  // lines; a handle opened for appending alone does not make two processes' writes whole
  // everywhere (under Wine one line overwrote the other). A turn that does not come within a
  // moment drops the line: no thread of the tool, the window's least of all, waits on a log.
  OVERLAPPED turn{};
  turn.OffsetHigh = 0x40000000;
  const ULONGLONG giveUp = ::GetTickCount64() + kLogTurnWaitMs;
  bool locked = false;
  while (!(locked = ::LockFileEx(h.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &turn)) &&
         ::GetTickCount64() < giveUp)
    ::Sleep(1);
  if (!locked) return false;
  DWORD written = 0;
  const bool whole =
      ::WriteFile(h.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) && written == line.size();
  ::UnlockFileEx(h.get(), 0, 1, 0, &turn);
  return whole;
}

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

namespace {

// Where the tool writes, before anything is written: the log and the history are this user's own
// (no other account can hold, fill or read them), and the shared update folder and its download
// folder are made when missing, with permissions that keep other accounts from replacing them.
void PrepareFolders() {
  SetLogFolderCheck([](const std::filesystem::path& folder) { return !LinkProblem(folder); });
  SetLogAppender(AppendLogLine);
  if (const std::filesystem::path own = PrivateFolder(); !own.empty()) {
    SetLogPath(own / kLogName);
    SetHistoryPath(own / kHistoryName);
    SetReplacementRecordPath(own / kReplacementRecordName);
  }
  // Each outcome the history keeps also tells the vendor, anonymously, whether the release works.
  SetOutcomeListener(SendReport);
  std::string folderProblem;
  const std::filesystem::path root = SharedRoot();
  if (!CreateSharedFolder(root, folderProblem)) {
    LogEvent("folder", folderProblem);
  } else if (auto link = LinkProblem(root)) {
    LogEvent("folder", *link);  // nothing is made through it
  } else if (!CreateSharedFolder(SharedDownloadFolder(), folderProblem)) {
    LogEvent("folder", folderProblem);
  }
}

// Before the window: what a cut-off self-update or transfer left, what this build cannot do, and
// the installed descriptor.
void PrepareStart(bool replacedStart) {
  // A self-update that a power cut or a log-off interrupted is finished or undone first; a replaced
  // start is part of one that still runs. Then the temporary files of transfers that were cut off.
  if (!replacedStart) RepairHalfDoneReplacement(PathFromUtf8(GetModulePath()), TheUserState());
  RemoveStaleDownloads();
  if (!BuiltInTrust().KeyBuiltIn()) LogEvent("trust", "this build has no update key: updates are not verified");
  // The DLLs loaded from System32 only: a missing one is said once, here.
  Hid(), WinInet(), Bcrypt();
  for (const std::string* problem : {&HidProblem(), &WinInetProblem(), &BcryptProblem()})
    if (!problem->empty()) LogEvent("system", *problem);
  if (!LoadInstalledDescriptor()) {
    const LocalDescriptor local = TheDescriptorState().Local();
    LogEvent("descriptor", "local version.txt missing or incomplete (data_version \"" +
                               LogValue(GbkToUtf8(local.dataVersion)) + "\")");
  }
}

}  // namespace

BOOL CAutoUpdateApp::InitInstance() {
  PrepareFolders();
  const std::string commandLine = Narrow(::GetCommandLineW());
  const LaunchRequest request = DecideLaunchRequest(commandLine);
  if (request == LaunchRequest::EndRunningInstance) {
    const bool wasRunning = InstanceRunning();
    m_nExitCode = EndRunningInstance(kEndInstanceWait);
    if (wasRunning)
      LogEvent("quit", m_nExitCode == 0 ? "asked by /exit: the tool has ended" : "asked by /exit: the tool still runs");
    return FALSE;
  }

  m_bReplacedStart = request == LaunchRequest::RunAfterReplacement;
  // Before the marker: the previous process is opened while it still waits for this one.
  if (m_bReplacedStart) BeginReplacedStart(commandLine);
  UniqueKernelHandle& mutex = m_instanceMarker;
  const ULONGLONG claimStart = ::GetTickCount64();
  bool first = ClaimSingleInstance(&mutex);
  if (!first && m_bReplacedStart) first = ClaimWhenFree(&mutex, kReplacedStartWait, kReplacedStartLimit);
  // Another instance runs: end silently, show nothing, leave it as it is.
  if (!first) return FALSE;
  const DWORD mutexError = mutex ? ERROR_SUCCESS : ::GetLastError();

  LogEvent("start", "version " + std::string(kAppVersion) + ", command line " + commandLine);
  if (m_bReplacedStart)
    LogEvent("start", "the previous version gave up the marker after " +
                          std::to_string(::GetTickCount64() - claimStart) + " ms");
  if (!mutex) LogEvent("mutex", ErrorText("CreateMutexW", mutexError));
  PrepareStart(m_bReplacedStart);
  // A new version that could not do its work here is not kept: it says why and ends before its
  // window comes, with a status the previous version knows.
  if (m_bReplacedStart) {
    if (auto problem = ReplacedStartProblem()) {
      LogEvent(kSelfUpdateEvent, "version " + std::string(kAppVersion) + " cannot confirm that it runs: " + *problem +
                                     "; it ends and the previous version stays");
      m_nExitCode = kUnfitExitStatus;
      return FALSE;
    }
  }
  RunMainWindow({m_bReplacedStart, [this] { m_instanceMarker.reset(); }});
  // A new version swapped in meanwhile was started as the window ended; this process waits to
  // see it come up, or brings the old one back.
  mutex.reset();
  CompletePendingReplacement();
  WaitForReports(kReportsAtExitWait);
  LogEvent("exit");
  return FALSE;
}

}  // namespace zt
