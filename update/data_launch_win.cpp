#include "update/data_launch_win.h"

#include <windows.h>

#include "base/descriptor_state.h"
#include "base/fsutil.h"
#include "base/log.h"
#include "base/paths.h"
#include "update/crypto_win.h"
#include "update/shared_folder_win.h"
#include "win/error.h"
#include "win/handles.h"
#include "win/process.h"
#include "win/text.h"

namespace zt {

namespace {

constexpr DWORD kDataUpdaterWaitMs = 30 * 60 * 1000;

}  // namespace

std::optional<DataProgramLaunch> PrepareDataProgramLaunch(std::string& reason) {
  if (::FindWindowW(nullptr, Widen(kDataProgramCaption).c_str())) {
    reason = "the data-update program runs already";
    return std::nullopt;
  }
  // One data-update program per machine writes to a device: another session's may run now. The
  // window never waits for this tool's own workers.
  std::shared_ptr<void> lock = TheSharedFolder().TryLock(reason);
  if (!lock) return std::nullopt;
  // Another account or a program may have swapped the file: only what the installed descriptor
  // describes runs, from a copy in this user's own folder that nobody can change before it starts.
  const std::filesystem::path own = PrivateFolder();
  if (own.empty()) {
    reason = "data_update.exe is not started: no folder of this user's own to start it from";
    return std::nullopt;
  }
  std::optional<PrivateCopy> copy =
      PrepareDataProgram(BuiltInTrust(), TheDescriptorState().Local(),
                         PathFromUtf8(std::string(kUpdateRoot) + kDataProgramName), own / kPrivateRunFolder, reason);
  if (!copy) {
    reason = "data_update.exe is not started: " + reason;
    return std::nullopt;
  }
  return DataProgramLaunch{std::move(lock), std::move(*copy)};
}

void RunDataProgram(DataProgramLaunch launch) {
  const std::filesystem::path& program = launch.copy.program;
  std::wstring command = L"\"" + program.wstring() + L"\"";  // CreateProcessW may write into it
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  const BOOL started =
      ::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  const DWORD startError = ::GetLastError();
  launch.copy.held = HeldFile{};
  if (!started) {
    LogEvent("updater-launch", ErrorText("CreateProcessW " + PathToUtf8(program), startError));
    return;
  }
  UniqueKernelHandle process(pi.hProcess);
  UniqueKernelHandle thread(pi.hThread);
  LogEvent("updater-launch",
           "started " + PathToUtf8(program) + ", the checked copy of " + kUpdateRoot + kDataProgramName);
  const DWORD waited = ::WaitForSingleObject(process.get(), kDataUpdaterWaitMs);
  LogEvent("updater-launch",
           waited == WAIT_OBJECT_0 ? "the data-update program ended" : "stopped waiting after 30 minutes");
}

}  // namespace zt
