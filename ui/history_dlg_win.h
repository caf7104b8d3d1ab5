// "升级记录": the history of outcomes, newest first, in a small window with a button that copies it
// all for a support request. Opened from the tray menu.
#pragma once
#include <windows.h>

#include <string>

#include "ui/dialog_win.h"

namespace zt {

class CHistoryDlg : public CDialog {
 public:
  CHistoryDlg();

 protected:
  void DoDataExchange(DataExchange& dx) override;
  INT_PTR WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void CopyAll();

  std::string m_strText;
};

}  // namespace zt
