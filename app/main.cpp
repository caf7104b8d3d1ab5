// Process entry: hands over to the application object.
#include <windows.h>

#include "app/app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  zt::theApp.InitInstance();
  // Every end, a second instance's included, is a normal one.
  return 0;
}
