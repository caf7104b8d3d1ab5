// Stand-ins for a bad new version of the tool, signed like a good one, for the scenarios where a
// release goes wrong: one ends at once (as a missing DLL or a crash at start-up would), the other
// runs but never shows a window. Their version resource says what the descriptor offers.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
#if defined(ZT_STANDIN_HANGS)
  ::Sleep(INFINITE);
#endif
  return 3;
}
