// Process entry: hands over to the application object.
#include <windows.h>

#include "app/app.h"
#include "win/system_dll.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Before anything is loaded: a DLL planted beside the executable must never be picked up.
  zt::RestrictDllSearch();
  zt::theApp.InitInstance();
  // Status 0 for every end, a second instance's included ("/exit" reports whether the tool ended,
  // and a replaced start that cannot work here tells the previous version so).
  // ExitProcess ends the never-joined worker threads before any global is destroyed, so none of
  // them can touch theApp after its destructor.
  ::ExitProcess(zt::theApp.ExitCode());
}
