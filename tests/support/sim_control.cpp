#include "tests/support/sim_control.h"

#include <vector>

#include "tests/support/sim_files.h"

namespace zt::sim {

namespace {
std::wstring ProgramFolder() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n < buffer.size()) {
      std::wstring path(buffer.data(), n);
      return path.substr(0, path.find_last_of(L"\\/") + 1);
    }
    buffer.resize(buffer.size() * 2);
  }
}
}  // namespace

Simulator::Simulator(const std::wstring& dir) : dir_(dir) {
  if (dir_.back() != L'\\') dir_ += L'\\';
  ::SetEnvironmentVariableW(L"ZT_SIM_DIR", dir_.c_str());
}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start() {
  // The tool loads hid.dll from System32 only: the stand-in goes there, in this private prefix,
  // and is used only by programs given the "n" override.
  wchar_t system[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 ||
      !::CopyFileW((ProgramFolder() + L"hid.dll").c_str(), (std::wstring(system, n) + L"\\hid.dll").c_str(), FALSE))
    return false;
  ::CreateDirectoryW(dir_.c_str(), nullptr);
  ::DeleteFileW((dir_ + L"flash.txt").c_str());
  ::DeleteFileW((dir_ + L"state.txt").c_str());
  WriteWholeFile(dir_ + L"devices.txt", "serial 0\n");
  // The folder goes without its trailing backslash, which would escape the closing quote.
  std::wstring command =
      L"\"" + ProgramFolder() + L"device_simulator.exe\" \"" + dir_.substr(0, dir_.size() - 1) + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                        &pi)) {
    return false;
  }
  ::CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  return Apply("");
}

bool Simulator::Apply(const std::string& deviceLines) {
  const std::string serial = std::to_string(++serial_);
  if (!WriteWholeFile(dir_ + L"devices.txt", "serial " + serial + "\n" + deviceLines)) return false;
  const std::string want = "serial " + serial + "\n";
  for (int i = 0; i < 400; ++i) {
    if (ReadWholeFile(dir_ + L"state.txt").rfind(want, 0) == 0) return true;
    if (process_ && ::WaitForSingleObject(process_, 25) == WAIT_OBJECT_0) return false;
  }
  return false;
}

void Simulator::Stop() {
  if (!process_) return;
  WriteWholeFile(dir_ + L"devices.txt", "quit\n");
  if (::WaitForSingleObject(process_, 5000) != WAIT_OBJECT_0) ::TerminateProcess(process_, 1);
  ::CloseHandle(process_);
  process_ = nullptr;
}

}  // namespace zt::sim
