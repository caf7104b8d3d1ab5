// A small dialog class of our own: modal or modeless creation from a template, one static dialog
// procedure that forwards to the object (stored at WM_INITDIALOG), a virtual WindowProc,
// OnInitDialog, OnOK/OnCancel, and a data-exchange step between members and controls.
#pragma once
#include <windows.h>

#include <string>

namespace zt {

// One transfer between members and controls: save = controls -> members.
class DataExchange {
 public:
  DataExchange(HWND dialog, bool save) : m_hDlg(dialog), m_bSave(save) {}
  void Control(int id, HWND& control);   // binds the control's handle
  void Text(int id, std::string& utf8);  // window text, UTF-8 in the member
  void Check(int id, bool& checked);     // check box state

 private:
  HWND m_hDlg;
  bool m_bSave;
};

class CDialog {
 public:
  explicit CDialog(UINT templateId) : m_nTemplateId(templateId) {}
  virtual ~CDialog();
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Runs the dialog modally; returns the EndDialog result, or -1 when it could not be created.
  INT_PTR DoModal(HWND owner);
  // Creates the dialog modeless (not shown unless the template says so); false on failure.
  bool Create(HWND owner);

  HWND GetSafeHwnd() const { return m_hWnd; }
  // Transfers between members and controls through DoDataExchange.
  void UpdateData(bool save);
  // Ends a modal dialog; a modeless one is only hidden.
  void EndDialog(INT_PTR result);
  // Destroys a modeless dialog; a modal one is ended, so its loop returns and Windows destroys it.
  void DestroyWindow();

 protected:
  virtual void DoDataExchange(DataExchange&) {}
  // Default: the members go into the controls; TRUE lets Windows set the focus.
  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  // Every message after WM_INITDIALOG; return TRUE when handled (a result goes through
  // SetResult), FALSE for the default dialog handling.
  virtual INT_PTR WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  void SetResult(LRESULT result) const { ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, result); }
  void CenterOver(HWND other) const;

  HWND m_hWnd = nullptr;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR Dispatch(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  UINT m_nTemplateId;
  bool m_bModal = false;
};

}  // namespace zt
