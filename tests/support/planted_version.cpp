// A version.dll that another account plants beside the shared data_update.exe. Loaded into a
// program, it says so in C:\ZT_Update\planted-loaded.txt (the program's path); otherwise it serves
// the one function the stand-in data-update program imports.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t program[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    HANDLE f = ::CreateFileW(L"C:\\ZT_Update\\planted-loaded.txt", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      ::WriteFile(f, program, n * sizeof(wchar_t), &written, nullptr);
      ::CloseHandle(f);
    }
  }
  return TRUE;
}

extern "C" DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR, LPDWORD handle) {
  if (handle) *handle = 0;
  return 0;
}
