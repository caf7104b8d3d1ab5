#include "ui/dialog_win.h"

#include <exception>
#include <string>

#include "base/log.h"
#include "win/text.h"

namespace zt {

void DataExchange::Control(int id, HWND& control) { control = ::GetDlgItem(m_hDlg, id); }

namespace {

std::wstring WindowTextOf(HWND item) {
  const int n = ::GetWindowTextLengthW(item);
  std::wstring buf(static_cast<size_t>(n) + 1, L'\0');
  const int got = ::GetWindowTextW(item, buf.data(), n + 1);
  buf.resize(static_cast<size_t>(got > 0 ? got : 0));
  return buf;
}

}  // namespace

void DataExchange::Text(int id, std::string& utf8) {
  HWND item = ::GetDlgItem(m_hDlg, id);
  if (!item) return;
  if (m_bSave) {
    utf8 = Narrow(WindowTextOf(item));
    return;
  }
  // The text is set again every few seconds: an unchanged one is left alone, which spares a
  // multi-line edit its layout and repaint (and the window its time).
  const std::wstring text = Widen(utf8);
  if (WindowTextOf(item) != text) ::SetWindowTextW(item, text.c_str());
}

void DataExchange::Check(int id, bool& checked) {
  if (m_bSave) {
    checked = ::IsDlgButtonChecked(m_hDlg, id) == BST_CHECKED;
  } else {
    ::CheckDlgButton(m_hDlg, id, checked ? BST_CHECKED : BST_UNCHECKED);
  }
}

CDialog::~CDialog() {
  if (m_hWnd && !m_bModal) ::DestroyWindow(m_hWnd);
}

INT_PTR CDialog::DoModal(HWND owner) {
  m_bModal = true;
  const INT_PTR r = ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_nTemplateId), owner,
                                      &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
  m_hWnd = nullptr;
  return r;
}

bool CDialog::Create(HWND owner) {
  m_bModal = false;
  HWND w = ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_nTemplateId), owner,
                                &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
  return w != nullptr;
}

void CDialog::UpdateData(bool save) {
  if (!m_hWnd) return;
  DataExchange dx(m_hWnd, save);
  DoDataExchange(dx);
}

void CDialog::EndDialog(INT_PTR result) {
  if (!m_hWnd) return;
  if (m_bModal) {
    ::EndDialog(m_hWnd, result);
  } else {
    ::ShowWindow(m_hWnd, SW_HIDE);
  }
}

void CDialog::DestroyWindow() {
  if (!m_hWnd) return;
  if (m_bModal) {
    // The modal loop ends and destroys the window itself (WM_DESTROY comes from there).
    ::EndDialog(m_hWnd, IDCANCEL);
  } else {
    ::DestroyWindow(m_hWnd);
  }
}

BOOL CDialog::OnInitDialog() {
  UpdateData(false);
  return TRUE;
}

void CDialog::OnOK() {
  UpdateData(true);
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

INT_PTR CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
    switch (LOWORD(wParam)) {
      case IDOK:
        OnOK();
        return TRUE;
      case IDCANCEL:
        OnCancel();
        return TRUE;
      default:
        break;
    }
  }
  return FALSE;
}

void CDialog::CenterOver(HWND other) const {
  RECT mine{};
  ::GetWindowRect(m_hWnd, &mine);
  RECT area{};
  if (other && ::IsWindowVisible(other) && !::IsIconic(other)) {
    ::GetWindowRect(other, &area);
  } else {
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  }
  const int w = mine.right - mine.left;
  const int h = mine.bottom - mine.top;
  const int x = area.left + ((area.right - area.left) - w) / 2;
  const int y = area.top + ((area.bottom - area.top) - h) / 2;
  ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  // An exception must not unwind through the system's frames, which would end the tool: the message
  // is logged and left to the default handling, as a worker's exception ends only that worker.
  try {
    return Dispatch(hwnd, message, wParam, lParam);
  } catch (const std::exception& e) {
    LogEvent("window", "message " + std::to_string(message) + " stopped by an unexpected error: " + e.what());
  } catch (...) {
    LogEvent("window", "message " + std::to_string(message) + " stopped by an unexpected error");
  }
  return FALSE;
}

INT_PTR CDialog::Dispatch(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CDialog*>(lParam);
    ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    self->m_hWnd = hwnd;
    return self->OnInitDialog();
  }
  auto* self = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  if (!self) return FALSE;
  const INT_PTR r = self->WindowProc(message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrW(hwnd, DWLP_USER, 0);
    self->m_hWnd = nullptr;
  }
  return r;
}

}  // namespace zt
