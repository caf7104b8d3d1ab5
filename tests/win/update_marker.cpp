// Stand-in for a new version of the tool in the self-replacement tests: records its own path and
// command line in the file named by ZT_TEST_MARKER; with ZT_TEST_MARKER_CONFIRM set it confirms
// that it is up, as the tool does when its window and tray icon are there; then it ends.
#include <windows.h>

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
    const std::wstring name = L"ZT_AutoUpdate.Replaced." + std::to_wstring(::GetCurrentProcessId());
    if (HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str())) {
      ::SetEvent(event);
      ::CloseHandle(event);
    }
    ::Sleep(1000);  // still running when the waiting side looks
  }
  return 0;
}
