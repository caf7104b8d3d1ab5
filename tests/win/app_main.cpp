// Entry of the application-shell Windows tests. The glue links with -municode, so the program
// enters at wmain. With ZT_APP_CHILD_REPORT set it is not a test run but a child that writes what
// the process helpers see (module path, command-line readers) into that file; with
// ZT_APP_CHILD_APPEND set it appends lines to that file as the tool's log does.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "app/app.h"
#include "tests/win/app_child.h"
#include "win/process.h"
#include "base/fsutil.h"
#include "win/text.h"

namespace {

int ChildReport(const std::wstring& file) {
  std::ofstream out(zt::PathFromUtf8(zt::Narrow(file)), std::ios::binary);
  out << "path=" << zt::GetModulePath() << "\n";
  out << "count=" << zt::GetArgCount() << "\n";
  for (int i = 0; i < 4; ++i) out << "arg" << i << "=" << zt::GetArg(i) << "\n";
  return out ? 0 : 3;
}

int ChildAppend(const std::wstring& file) {
  const std::string tag = "process " + std::to_string(::GetCurrentProcessId()) + " line ";
  for (int i = 0; i < kChildAppendLines; ++i) {
    if (!zt::AppendLogLine(file, tag + std::to_string(i) + std::string(80, '.') + "\r\n")) return 3;
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  wchar_t report[4096];
  const DWORD n = ::GetEnvironmentVariableW(L"ZT_APP_CHILD_REPORT", report, 4096);
  if (n > 0 && n < 4096) return ChildReport(report);
  const DWORD m = ::GetEnvironmentVariableW(L"ZT_APP_CHILD_APPEND", report, 4096);
  if (m > 0 && m < 4096) return ChildAppend(report);

  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
