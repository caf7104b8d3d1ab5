#include "ui/history_dlg_win.h"

#include <cstring>

#include "base/history.h"
#include "base/log.h"
#include "res/resource.h"
#include "ui/window_logic.h"
#include "win/error.h"
#include "win/handles.h"
#include "win/text.h"

namespace zt {

CHistoryDlg::CHistoryDlg() : CDialog(IDD_HISTORY), m_strText(HistoryText(HistoryLines())) {}

void CHistoryDlg::DoDataExchange(DataExchange& dx) { dx.Text(IDC_HISTORY_TEXT, m_strText); }

INT_PTR CHistoryDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDC_BTN_COPY_HISTORY) {
    CopyAll();
    return TRUE;
  }
  return CDialog::WindowProc(message, wParam, lParam);
}

void CHistoryDlg::CopyAll() {
  const std::wstring text = Widen(m_strText);
  const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
  if (!memory) return;
  if (void* target = ::GlobalLock(memory)) {
    std::memcpy(target, text.c_str(), bytes);
    ::GlobalUnlock(memory);
  }
  // The clipboard owns the memory once it has taken it.
  if (::OpenClipboard(m_hWnd)) {
    ::EmptyClipboard();
    if (::SetClipboardData(CF_UNICODETEXT, memory)) memory = nullptr;
    ::CloseClipboard();
  }
  if (memory) {
    LogEvent("history", LastErrorText("SetClipboardData"));
    ::GlobalFree(memory);
  }
}

}  // namespace zt
