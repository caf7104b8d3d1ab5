// Process entry: hands over to the application object.
#include <windows.h>

#include "app/app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  zt::theApp.InitInstance();
  // Status 0 for every end, a second instance's included ("/exit" reports whether the tool ended).
  // ExitProcess ends the never-joined worker threads before any global is destroyed, so none of
  // them can touch theApp after its destructor.
  ::ExitProcess(zt::theApp.ExitCode());
}
