"""The program ends from whichever loop it is in: WM_UPDATER_DONE 1 with the About box open, and
the installer's "/exit" with the auto-start question on screen, end the process and take the tray
icon away. "/exit" with nothing running ends at once with status 0 and starts nothing."""
import time

from probe import WM_SYSCOMMAND, check, scenario, wait_until
from zt_ids import IDM_SYS_ABOUT, WM_UPDATER_DONE


def run(tool):
    tool.set_run_value("x")  # no auto-start question
    tool.start(" /visible")
    tool.post(WM_SYSCOMMAND, IDM_SYS_ABOUT)
    check(wait_until(lambda: tool.visible("about"), 5), "About box open")
    tool.post(WM_UPDATER_DONE, 1)
    check(tool.wait_ended(), "WM_UPDATER_DONE 1 ends the process while the About box is open")
    check(wait_until(lambda: not tool.tray_shown(), 5), "the tray icon is gone")
    tool.pid = None

    tool.set_run_value(None)
    tool.start(" /visible")
    check(wait_until(lambda: tool.probe("box")[0] == 0, 10), "auto-start question on screen")
    started = time.monotonic()
    report = tool.e2e.start('"%s" /exit' % tool.win_exe, wait_ms=15000)
    check(report.get("exit") == "0", "/exit ends with status 0 (%s)" % report)
    print("/exit took %.1f s" % (time.monotonic() - started))
    check(tool.wait_ended(3), "the running tool has ended")
    check(wait_until(lambda: not tool.tray_shown(), 5), "the tray icon is gone")
    check(tool.run_value() is None, "the unanswered question wrote nothing")
    check("quit asked to end by /exit" in tool.log(), "logged")
    tool.pid = None

    starts = tool.log().count(" start version ")
    report = tool.e2e.start('"%s" /exit' % tool.win_exe, wait_ms=5000)
    check(report.get("exit") == "0", "/exit with nothing running ends with status 0 (%s)" % report)
    check(not tool.exists(), "and shows no window")
    check(tool.log().count(" start version ") == starts, "nothing started")


if __name__ == "__main__":
    scenario(run)
