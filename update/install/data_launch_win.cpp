#include "update/install/data_launch_win.h"

#include <windows.h>

#include "base/descriptor_state.h"
#include "base/fsutil.h"
#include "base/log.h"
#include "base/paths.h"
#include "update/trust/crypto_win.h"
#include "update/install/shared_folder_win.h"
#include "win/error.h"
#include "win/process.h"
#include "win/text.h"

namespace zt {

std::optional<DataProgramLaunch> PrepareDataProgramLaunch(LaunchRefusal& refusal) {
  if (::FindWindowW(nullptr, Widen(kDataProgramCaption).c_str())) {
    refusal = {"the data-update program runs already", "running", "数据升级程序已在运行，请在其窗口中完成升级。"};
    return std::nullopt;
  }
  // One data-update program per machine writes to a device: another session's may run now. The
  // window never waits for this tool's own workers.
  std::string reason;
  std::shared_ptr<void> lock = TheSharedFolder().TryLock(reason);
  if (!lock) {
    refusal = {reason, "lock-held", "另一个用户正在使用数据升级，请稍后再试。"};
    return std::nullopt;
  }
  // Another account or a program may have swapped the file: only what the installed descriptor
  // describes runs, from a copy in this user's own folder that nobody can change before it starts.
  const std::filesystem::path own = PrivateFolder();
  if (own.empty()) {
    refusal = {"data_update.exe is not started: no folder of this user's own to start it from", "no-folder",
               "无法准备数据升级程序，未启动。"};
    return std::nullopt;
  }
  std::optional<PrivateCopy> copy =
      PrepareDataProgram(BuiltInTrust(), TheDescriptorState().Local(),
                         PathFromUtf8(std::string(kUpdateRoot) + kDataProgramName), own / kPrivateRunFolder, reason);
  if (!copy) {
    refusal = {"data_update.exe is not started: " + reason, "hash",
               "已下载的数据升级包未通过校验，未启动。\r\n系统将重新下载。"};
    return std::nullopt;
  }
  return DataProgramLaunch{std::move(lock), std::move(*copy)};
}

UniqueKernelHandle StartDataProgram(DataProgramLaunch& launch, std::string& reason) {
  const std::filesystem::path& program = launch.copy.program;
  std::wstring command = Widen(kDataProgramCommand);  // CreateProcessW may write into it
  const std::wstring folder = program.parent_path().wstring();
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  const BOOL started =
      ::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si, &pi);
  const DWORD startError = ::GetLastError();
  // Its image is mapped now (or it never will be): the copy need not be held any more.
  launch.copy.held = HeldFile{};
  if (!started) {
    reason = ErrorText("CreateProcessW " + PathToUtf8(program), startError);
    return UniqueKernelHandle();
  }
  UniqueKernelHandle thread(pi.hThread);
  LogEvent("updater-launch", "started " + std::string(kDataProgramCommand) + " from " + PathToUtf8(program) +
                                 ", the checked copy of " + kUpdateRoot + kDataProgramName);
  return UniqueKernelHandle(pi.hProcess);
}

}  // namespace zt
