#include "ui/progress_win.h"

#include <commctrl.h>

#include "res/resource.h"
#include "win/window_poster.h"

namespace zt {

CProgressDlg g_progressDlg;

namespace {}

CProgressDlg::CProgressDlg() : CDialog(IDD_PROGRESS) {}

void CProgressDlg::DoDataExchange(DataExchange& dx) {
  dx.Control(IDC_PROGRESS_BAR, m_progress);
  dx.Text(IDC_PROGRESS_TEXT, m_strText);
}

void ShowProgress(const std::string& utf8Text, int position) {
  CProgressDlg& dlg = g_progressDlg;
  if (!dlg.GetSafeHwnd()) {
    // A failed creation is tried again at the next call; the steps below then do nothing.
    if (dlg.Create(MainWindowHandle())) {
      HWND w = dlg.GetSafeHwnd();
      RECT owner{};
      if (HWND main = MainWindowHandle()) ::GetWindowRect(main, &owner);
      RECT mine{};
      ::GetWindowRect(w, &mine);
      const int x = owner.left + ((owner.right - owner.left) - (mine.right - mine.left)) / 2;
      const int y = owner.top + ((owner.bottom - owner.top) - (mine.bottom - mine.top)) / 2;
      ::SetWindowPos(w, HWND_TOPMOST, x, y, 0, 0, SWP_NOSIZE);
      ::ShowWindow(w, SW_SHOW);
    }
  }
  dlg.m_strText = utf8Text;
  if (dlg.m_progress) {
    ::SendMessageW(dlg.m_progress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    ::SendMessageW(dlg.m_progress, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  }
  dlg.UpdateData(false);
}

void SetProgress(int position) {
  if (!g_progressDlg.GetSafeHwnd() || !g_progressDlg.m_progress) return;
  ::SendMessageW(g_progressDlg.m_progress, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void HideProgress() {
  HWND w = g_progressDlg.GetSafeHwnd();
  if (!w) return;
  ::ShowWindow(w, SW_HIDE);
  g_progressDlg.DestroyWindow();
  g_progressDlg.m_progress = nullptr;
}

}  // namespace zt
