// The progress window: one line of text and a bar over the main window while a download runs.
// Created on the first ShowProgress, destroyed by HideProgress; main thread only.
#pragma once
#include <windows.h>

#include <string>

#include "ui/dialog_win.h"

namespace zt {

class CProgressDlg : public CDialog {
 public:
  CProgressDlg();

  HWND m_progress = nullptr;  // control 1008
  std::string m_strText;      // control 1007, UTF-8

 protected:
  void DoDataExchange(DataExchange& dx) override;
};

extern CProgressDlg g_progressDlg;
// Creates, centres, raises and shows the window when there is none, then sets text and position.
void ShowProgress(const std::string& utf8Text, int position);
// Moves the bar; nothing without a window.
void SetProgress(int position);
// Hides and destroys the window; nothing without a window.
void HideProgress();

}  // namespace zt
