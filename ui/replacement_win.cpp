#include "ui/replacement_win.h"

#include "base/fsutil.h"
#include "base/ids.h"
#include "base/log.h"
#include "base/paths.h"
#include "update/install/self_update_win.h"
#include "win/process.h"

namespace zt {
namespace {

// The previous version ends right after the confirmation; its copy goes a little later.
constexpr UINT kRemoveReplacedDelayMs = 5000;

}  // namespace

void ReplacementHandOver::Begin(HWND window, bool replacedStart) {
  m_window = window;
  if (!replacedStart) return;
  m_confirmPending = true;
  ::PostMessageW(window, WM_CONFIRM_STARTED, 0, 0);
}

bool ReplacementHandOver::ConfirmIfUp(bool trayShown) {
  // Without its tray icon a hidden tool has no face: the previous version waits for both.
  if (!m_confirmPending || !trayShown) return false;
  m_confirmPending = false;
  ConfirmStarted();
  LogEvent("self-update", "version " + std::string(kAppVersion) + " is up (window, tray icon, message loop)");
  ::SetTimer(m_window, IDT_REMOVE_REPLACED, kRemoveReplacedDelayMs, nullptr);
  return true;
}

void ReplacementHandOver::OnRemoveTimer() {
  ::KillTimer(m_window, IDT_REMOVE_REPLACED);
  RemoveReplacedExecutable(PathFromUtf8(GetModulePath()));
}

bool ReplacementHandOver::WaitForNewVersion() { return FinishPendingReplacementThen(WM_REPLACEMENT_FINISHED); }

}  // namespace zt
