// The main window's building blocks against real user32 (under Wine): the dialog class (modal end,
// data exchange of UTF-8 texts and check boxes) and the progress window's life cycle.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "win/window_poster.h"

#include <string>
#include <vector>

#include "res/resource.h"
#include "ui/dialog_win.h"
#include "ui/progress_win.h"
#include "win/text.h"

namespace zt {
namespace {

std::wstring ControlText(HWND dlg, int id) {
  wchar_t buf[1024] = {};
  ::GetDlgItemTextW(dlg, id, buf, 1024);
  return buf;
}

HWND ProgressWindow() { return g_progressDlg.GetSafeHwnd(); }

int ProgressPos() {
  return static_cast<int>(::SendMessageW(::GetDlgItem(ProgressWindow(), IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0));
}

void Pump() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

// The main window's template with two of its bindings: text 1005 and check box 1001.
class BindingDlg : public CDialog {
 public:
  BindingDlg() : CDialog(IDD_AUTOUPDATE_DIALOG) {}
  std::string m_strInfo;
  bool m_bCheck = false;
  HWND m_btn = nullptr;

 protected:
  void DoDataExchange(DataExchange& dx) override {
    dx.Control(IDC_BTN_START_UPDATE, m_btn);
    dx.Text(IDC_EDIT_INFO, m_strInfo);
    dx.Check(IDC_CHK_AUTOSTART, m_bCheck);
  }
};

TEST(DataExchangeTest, TextsAndCheckBoxBothWays) {
  BindingDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  HWND w = dlg.GetSafeHwnd();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(dlg.m_btn, ::GetDlgItem(w, IDC_BTN_START_UPDATE));

  const std::string rows[] = {
      "", "plain ascii", "\r\n数据版本: 9320\r\n\r\n更新日期: 2026-11-30",
      "\xF0\x9F\x9A\x97 car and 区",  // a character outside the BMP survives both ways
  };
  for (const std::string& text : rows) {
    dlg.m_strInfo = text;
    dlg.m_bCheck = !text.empty();
    dlg.UpdateData(false);
    EXPECT_EQ(ControlText(w, IDC_EDIT_INFO), Widen(text)) << text;
    EXPECT_EQ(::IsDlgButtonChecked(w, IDC_CHK_AUTOSTART), text.empty() ? BST_UNCHECKED : BST_CHECKED);

    dlg.m_strInfo = "overwritten";
    dlg.m_bCheck = text.empty();
    dlg.UpdateData(true);
    EXPECT_EQ(dlg.m_strInfo, text);
    EXPECT_EQ(dlg.m_bCheck, !text.empty());
  }
  dlg.DestroyWindow();
  EXPECT_EQ(dlg.GetSafeHwnd(), nullptr);
}

// A modal dialog that ends itself in one of the ways the main window can end.
class EndingDlg : public CDialog {
 public:
  enum class How { EndOk, Destroy, DefaultOk, DefaultCancel };
  explicit EndingDlg(How how) : CDialog(IDD_ABOUTBOX), m_how(how) {}
  bool m_bDestroyed = false;

 protected:
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    ::PostMessageW(m_hWnd, WM_APP, 0, 0);  // act once the modal loop runs
    return TRUE;
  }
  INT_PTR WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_DESTROY) m_bDestroyed = true;
    if (message == WM_APP) {
      switch (m_how) {
        case How::EndOk:
          EndDialog(IDOK);
          break;
        case How::Destroy:
          DestroyWindow();
          break;
        case How::DefaultOk:
          ::PostMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
          break;
        case How::DefaultCancel:
          ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);  // the dialog turns it into IDCANCEL
          break;
      }
      return TRUE;
    }
    return CDialog::WindowProc(message, wParam, lParam);
  }

 private:
  How m_how;
};

TEST(ModalDialogTest, EveryEndReturnsAndDestroys) {
  struct Row {
    EndingDlg::How how;
    INT_PTR result;
  };
  const Row rows[] = {
      {EndingDlg::How::EndOk, IDOK},
      {EndingDlg::How::Destroy, IDCANCEL},  // the tray menu's exit: the loop must end
      {EndingDlg::How::DefaultOk, IDOK},
      {EndingDlg::How::DefaultCancel, IDCANCEL},
  };
  for (const Row& r : rows) {
    EndingDlg dlg(r.how);
    EXPECT_EQ(dlg.DoModal(nullptr), r.result) << static_cast<int>(r.how);
    EXPECT_TRUE(dlg.m_bDestroyed) << static_cast<int>(r.how);
    EXPECT_EQ(dlg.GetSafeHwnd(), nullptr);
  }
}

class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSW wc{};
    wc.lpfnWndProc = ::DefWindowProcW;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ZtProgressOwner";
    ::RegisterClassW(&wc);
    m_owner = ::CreateWindowW(wc.lpszClassName, L"owner", WS_OVERLAPPEDWINDOW, 200, 150, 640, 420, nullptr, nullptr,
                              wc.hInstance, nullptr);
    ::ShowWindow(m_owner, SW_SHOW);
    SetMainWindow(m_owner);
  }
  void TearDown() override {
    HideProgress();
    SetMainWindow(nullptr);
    ::DestroyWindow(m_owner);
    Pump();
  }
  HWND m_owner = nullptr;
};

TEST_F(ProgressTest, NothingWithoutAWindow) {
  ASSERT_EQ(ProgressWindow(), nullptr);
  SetProgress(50);
  HideProgress();
  EXPECT_EQ(ProgressWindow(), nullptr);
  EXPECT_EQ(::FindWindowW(L"#32770", L"自动升级工具"), nullptr);
}

TEST_F(ProgressTest, FirstShowCentresRaisesAndShows) {
  ShowProgress("正在从服务器下载最新升级包...", 0);
  HWND w = ProgressWindow();
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(::IsWindowVisible(w));
  EXPECT_TRUE(::GetWindowLongW(w, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_EQ(::GetWindow(w, GW_OWNER), m_owner);
  EXPECT_EQ(ControlText(w, IDC_PROGRESS_TEXT), L"正在从服务器下载最新升级包...");
  EXPECT_EQ(ProgressPos(), 0);
  RECT o{}, p{};
  ::GetWindowRect(m_owner, &o);
  ::GetWindowRect(w, &p);
  EXPECT_NEAR((o.left + o.right) / 2, (p.left + p.right) / 2, 1);
  EXPECT_NEAR((o.top + o.bottom) / 2, (p.top + p.bottom) / 2, 1);
}

TEST_F(ProgressTest, PositionsStayInTheRange) {
  ShowProgress("x", 0);
  struct Row {
    int in, shown;
  };
  const Row rows[] = {{0, 0}, {40, 40}, {100, 100}, {150, 100}, {-5, 0}, {99, 99}};
  for (const Row& r : rows) {
    SetProgress(r.in);
    EXPECT_EQ(ProgressPos(), r.shown) << r.in;
  }
}

TEST_F(ProgressTest, SecondShowUpdatesWithoutMoving) {
  ShowProgress("检测到新版本，自动升级工具正在下载...", 0);
  HWND w = ProgressWindow();
  SetProgress(70);
  ::SetWindowPos(w, nullptr, 5, 6, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ShowProgress("正在从服务器下载最新升级包...", 0);
  EXPECT_EQ(ProgressWindow(), w);  // the same window
  RECT p{};
  ::GetWindowRect(w, &p);
  EXPECT_EQ(p.left, 5);
  EXPECT_EQ(p.top, 6);
  EXPECT_EQ(ProgressPos(), 0);
  EXPECT_EQ(ControlText(w, IDC_PROGRESS_TEXT), L"正在从服务器下载最新升级包...");
}

TEST_F(ProgressTest, CloseHidesHideDestroysShowRecreates) {
  ShowProgress("x", 0);
  HWND first = ProgressWindow();
  // The close box (IDCANCEL) only hides it; progress goes on unseen.
  ::SendMessageW(first, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  EXPECT_TRUE(::IsWindow(first));
  EXPECT_FALSE(::IsWindowVisible(first));
  SetProgress(30);
  EXPECT_EQ(ProgressPos(), 30);
  HideProgress();
  EXPECT_FALSE(::IsWindow(first));
  EXPECT_EQ(ProgressWindow(), nullptr);
  ShowProgress("y", 0);
  ASSERT_NE(ProgressWindow(), nullptr);
  EXPECT_TRUE(::IsWindowVisible(ProgressWindow()));
}

TEST_F(ProgressTest, GoesWithItsOwner) {
  ShowProgress("x", 10);
  HWND w = ProgressWindow();
  ::DestroyWindow(m_owner);
  m_owner = nullptr;
  EXPECT_FALSE(::IsWindow(w));
  EXPECT_EQ(ProgressWindow(), nullptr);
  SetProgress(20);  // nothing left to move: no crash, no window
  EXPECT_EQ(ProgressWindow(), nullptr);
}

}  // namespace
}  // namespace zt

int wmain(int argc, wchar_t** argv) {
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&icc);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
