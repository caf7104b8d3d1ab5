// The single-instance marker and the process helpers (module path, command-line readers) as a
// real process sees them.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/app.h"
#include "tests/win/app_child.h"
#include "win/process.h"
#include "base/fsutil.h"
#include "win/handles.h"
#include "win/text.h"

namespace {

namespace fs = std::filesystem;

TEST(AppInstance, SecondClaimFailsWhileTheFirstHoldsTheMutex) {
  zt::UniqueKernelHandle first;
  ASSERT_TRUE(zt::ClaimSingleInstance(&first));
  EXPECT_TRUE(first);
  {
    zt::UniqueKernelHandle second;
    EXPECT_FALSE(zt::ClaimSingleInstance(&second));
  }
  first.reset();
  zt::UniqueKernelHandle third;
  EXPECT_TRUE(zt::ClaimSingleInstance(&third));  // the marker goes with its last handle
}

std::wstring SelfPath() {
  wchar_t buffer[32768];
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer, 32768);
  return std::wstring(buffer, n);
}

// Copies this program to `dir`, runs it as a child with `commandLine` built from the copy's path
// and returns what the child saw, key by key.
std::map<std::string, std::string> RunChild(const fs::path& dir, const std::wstring& exeName,
                                            const std::wstring& (*makeLine)(const std::wstring&)) {
  std::map<std::string, std::string> seen;
  std::error_code ec;
  fs::create_directories(dir, ec);
  const fs::path exe = dir / exeName;
  if (!::CopyFileW((L"\\\\?\\" + SelfPath()).c_str(), (L"\\\\?\\" + exe.wstring()).c_str(), FALSE)) {
    ADD_FAILURE() << "copy failed " << ::GetLastError();
    return seen;
  }
  const fs::path report = fs::temp_directory_path() / "zt_app_child_report.txt";
  fs::remove(report, ec);
  ::SetEnvironmentVariableW(L"ZT_APP_CHILD_REPORT", report.wstring().c_str());
  std::wstring line = makeLine(exe.wstring());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  // The long form lets a path beyond MAX_PATH be started at all.
  const std::wstring application = L"\\\\?\\" + exe.wstring();
  const BOOL started =
      ::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  const DWORD startError = ::GetLastError();
  ::SetEnvironmentVariableW(L"ZT_APP_CHILD_REPORT", nullptr);
  if (!started) {
    ADD_FAILURE() << "CreateProcessW failed " << startError;
    return seen;
  }
  zt::UniqueKernelHandle process(pi.hProcess), thread(pi.hThread);
  EXPECT_EQ(::WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
  std::ifstream in(report, std::ios::binary);
  std::string row;
  while (std::getline(in, row)) {
    const auto eq = row.find('=');
    if (eq != std::string::npos) seen[row.substr(0, eq)] = row.substr(eq + 1);
  }
  fs::remove(report, ec);
  return seen;
}

const std::wstring& QuotedWithSwitch(const std::wstring& exe) {
  static std::wstring line;
  line = L"\"" + exe + L"\" /autohide";
  return line;
}

TEST(AppProcess, ReadersSeeTheRealCommandLineInUtf8) {
  const fs::path dir = fs::temp_directory_path() / L"zt app 安全 驾驶";
  const auto seen = RunChild(dir, L"ZT_AutoUpdate.exe", QuotedWithSwitch);
  const std::string exe = zt::PathToUtf8(dir / L"ZT_AutoUpdate.exe");
  EXPECT_EQ(seen.count("path") ? seen.at("path") : "", exe);
  EXPECT_EQ(seen.count("count") ? seen.at("count") : "", "1");
  EXPECT_EQ(seen.count("arg0") ? seen.at("arg0") : "", exe);
  EXPECT_EQ(seen.count("arg1") ? seen.at("arg1") : "", "/autohide");
  std::error_code ec;
  fs::remove_all(dir, ec);
}

TEST(AppLog, LinesOfProcessesWritingAtOnceStayWholeAndAllArrive) {
  const fs::path log = fs::temp_directory_path() / "zt_app_shared.log";
  std::error_code ec;
  fs::remove(log, ec);
  wchar_t exe[MAX_PATH];
  ASSERT_GT(::GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
  ::SetEnvironmentVariableW(L"ZT_APP_CHILD_APPEND", log.wstring().c_str());
  std::vector<zt::UniqueKernelHandle> children;
  for (int i = 0; i < 3; ++i) {
    std::wstring line = L"\"" + std::wstring(exe) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (::CreateProcessW(exe, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      ::CloseHandle(pi.hThread);
      children.emplace_back(pi.hProcess);
    }
  }
  ::SetEnvironmentVariableW(L"ZT_APP_CHILD_APPEND", nullptr);
  ASSERT_EQ(children.size(), 3u);
  for (const auto& child : children) {
    ASSERT_EQ(::WaitForSingleObject(child.get(), 60000), WAIT_OBJECT_0);
    DWORD code = 1;
    EXPECT_TRUE(::GetExitCodeProcess(child.get(), &code) && code == 0) << code;
  }
  // Every line whole, and each process's lines all there, in its order.
  std::map<std::string, int> next;
  std::ifstream in(log, std::ios::binary);
  std::string row;
  int broken = 0;
  while (std::getline(in, row)) {
    std::istringstream fields(row);
    std::string word, process, lineWord, padding;
    int n = -1;
    fields >> word >> process >> lineWord >> n;
    std::getline(fields, padding);
    if (word != "process" || lineWord != "line" || padding != std::string(80, '.') + "\r" || n != next[process]++)
      ++broken;
  }
  EXPECT_EQ(broken, 0);
  ASSERT_EQ(next.size(), 3u);
  for (const auto& [process, count] : next) EXPECT_EQ(count, kChildAppendLines) << process;
  fs::remove(log, ec);
}

}  // namespace
