"""The auto-start question and the check box: the question a second after a visible start when
the Run value is absent, Yes writes it (machine-wide, 32-bit view); a value written there by an
earlier installation counts and unticking removes it; without the machine-wide key the user's own
Run key holds the value; the box always shows the real state."""
import time

from probe import RUN_KEY, check, run_windows, scenario, wait_until
from zt_ids import IDC_CHK_AUTOSTART


def box_up(tool):
    return tool.probe("box")[0] == 0


def run(tool):
    command = '"%s" /autohide' % tool.win_exe

    # Run value absent: the question comes about a second after the start; Yes registers.
    started = time.time()
    tool.start(" /visible")
    check(wait_until(lambda: box_up(tool), 10), "auto-start question appears")
    elapsed = time.time() - started
    rc, lines = tool.probe("box")
    check(any("请确认是否设置软件为开机自动运行" in line for line in lines), "question text (%s)" % lines)
    check(tool.out("checked", IDC_CHK_AUTOSTART) == "0", "box unticked before the answer")
    tool.probe("box-answer", "yes")
    check(wait_until(lambda: tool.run_value() is not None, 5), "Yes writes the Run value")
    check(tool.run_value() == command, "Run value is the quoted path and /autohide (%s)" % tool.run_value())
    check(wait_until(lambda: tool.out("checked", IDC_CHK_AUTOSTART) == "1", 5), "Yes ticks the box")
    print("question came %.1f s after the launch call" % elapsed)
    tool.stop()

    # A value written by an older 32-bit installation (reg add ... /reg:32): no question, box ticked.
    tool.set_run_value(None)
    tool.set_run_value('"C:\\Old Place\\ZT_AutoUpdate.exe" /autohide')
    tool.start(" /visible")
    time.sleep(2.5)
    check(not box_up(tool), "no question when the Run value exists")
    check(tool.out("checked", IDC_CHK_AUTOSTART) == "1", "box ticked when the Run value exists")

    # The box: clearing deletes the value, ticking writes it; the box follows the registry.
    tool.probe("click", IDC_CHK_AUTOSTART)
    check(wait_until(lambda: tool.run_value() is None, 5), "clearing the box deletes the older installation's value")
    check(tool.out("checked", IDC_CHK_AUTOSTART) == "0", "box cleared")
    tool.probe("click", IDC_CHK_AUTOSTART)
    check(wait_until(lambda: tool.run_value() == command, 5), "ticking the box writes the value")
    check(tool.out("checked", IDC_CHK_AUTOSTART) == "1", "box ticked")

    # Without the machine-wide Run key (as for an account that may not write it) ticking registers
    # in the user's own Run key, with no message; the box shows the truth throughout.
    tool.probe("click", IDC_CHK_AUTOSTART)
    check(wait_until(lambda: tool.run_value() is None, 5), "cleared again")
    run_windows(["reg", "delete", RUN_KEY, "/reg:32", "/f"])
    try:
        tool.probe("click", IDC_CHK_AUTOSTART)
        check(wait_until(lambda: tool.run_value("user") == command, 5), "ticking writes the user's Run value")
        check(not box_up(tool), "no message")
        check(tool.out("checked", IDC_CHK_AUTOSTART) == "1", "box ticked")
        tool.probe("click", IDC_CHK_AUTOSTART)
        check(wait_until(lambda: tool.run_value("user") is None, 5), "clearing removes the user's value")
        check(tool.out("checked", IDC_CHK_AUTOSTART) == "0", "box cleared")
    finally:
        run_windows(["reg", "add", RUN_KEY, "/reg:32", "/f"])


if __name__ == "__main__":
    scenario(run)
