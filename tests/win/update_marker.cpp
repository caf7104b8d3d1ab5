// Stand-in for a new version of the tool in the self-replacement tests: records its own path and
// command line in the file named by ZT_TEST_MARKER; with ZT_TEST_MARKER_CONFIRM set it confirms
// that it is up, as the tool does when its window and tray icon are there (the event its command
// line names after "/replaced <pid>", or the one named after its process id when it names none);
// then it ends, after ZT_TEST_MARKER_STAY_MS milliseconds when that is set.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <string>

int wmain() {
  wchar_t marker[1024];
  const DWORD n = ::GetEnvironmentVariableW(L"ZT_TEST_MARKER", marker, 1024);
  if (n == 0 || n >= 1024) return 2;
  wchar_t self[1024];
  const DWORD len = ::GetModuleFileNameW(nullptr, self, 1024);
  HANDLE f = ::CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 3;
  DWORD written = 0;
  const wchar_t* line = ::GetCommandLineW();
  ::WriteFile(f, self, len * sizeof(wchar_t), &written, nullptr);
  ::WriteFile(f, L"\n", sizeof(wchar_t), &written, nullptr);
  ::WriteFile(f, line, static_cast<DWORD>(lstrlenW(line) * sizeof(wchar_t)), &written, nullptr);
  ::CloseHandle(f);
  if (::GetEnvironmentVariableW(L"ZT_TEST_MARKER_CONFIRM", nullptr, 0) > 0) {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(line, &argc);
    const std::wstring suffix = argc >= 5 ? argv[4] : std::to_wstring(::GetCurrentProcessId());
    ::LocalFree(argv);
    if (HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, (L"ZT_AutoUpdate.Replaced." + suffix).c_str())) {
      ::SetEvent(event);
      ::CloseHandle(event);
    }
    ::Sleep(1000);  // still running when the waiting side looks
  }
  wchar_t stay[16];
  if (const DWORD m = ::GetEnvironmentVariableW(L"ZT_TEST_MARKER_STAY_MS", stay, 16); m > 0 && m < 16)
    ::Sleep(static_cast<DWORD>(std::wcstoul(stay, nullptr, 10)));
  return 0;
}
