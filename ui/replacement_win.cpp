#include "ui/replacement_win.h"

#include "base/fsutil.h"
#include "base/ids.h"
#include "base/log.h"
#include "base/paths.h"
#include "update/install/replaced_start_win.h"
#include "update/install/self_update_win.h"
#include "win/process.h"

namespace zt {
namespace {

// The previous version ends right after the confirmation. This version looks this often whether it
// has, to move over the executable at once; the old copy a version of the earlier order left goes a
// little later.
constexpr UINT kTakeOverLookMs = 250;
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
  LogEvent(kSelfUpdateEvent, "version " + std::string(kAppVersion) +
                                 " is up (window, tray icon, message loop; version.txt read, server address resolved)");
  ::SetTimer(m_window, IDT_REMOVE_REPLACED, HandOverOfThisOrder() ? kTakeOverLookMs : kRemoveReplacedDelayMs, nullptr);
  return true;
}

void ReplacementHandOver::OnRemoveTimer() {
  if (HandOverOfThisOrder()) {
    if (ContinueTakeOver()) ::KillTimer(m_window, IDT_REMOVE_REPLACED);
    return;
  }
  ::KillTimer(m_window, IDT_REMOVE_REPLACED);
  RemoveReplacedExecutable(PathFromUtf8(GetModulePath()));
}

bool ReplacementHandOver::WaitForNewVersion() { return FinishPendingReplacementThen(WM_REPLACEMENT_FINISHED); }

}  // namespace zt
