// Start-up's view of the main window: run it modally until it ends.
#include "ui/main_window.h"

#include <windows.h>
#include <commctrl.h>

#include "ui/auto_update_dlg_win.h"

namespace zt {

void RunMainWindow(const MainWindowStart& start) {
  // The progress window's bar is a common control.
  INITCOMMONCONTROLSEX icc{};
  icc.dwSize = sizeof(icc);
  icc.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
  ::InitCommonControlsEx(&icc);
  CAutoUpdateDlg dlg(start);
  dlg.DoModal(nullptr);
}

}  // namespace zt
