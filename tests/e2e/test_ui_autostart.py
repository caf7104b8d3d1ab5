"""The auto-start question and the check box: the question a second after a visible start when
the Run value is absent, Yes writes it; the box always shows the real state of the Run value, also
after a failed write."""
import time

from probe import RUN_KEY, check, run_windows, scenario, wait_until


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
    check(tool.out("checked", 1001) == "0", "box unticked before the answer")
    tool.probe("box-answer", "yes")
    check(wait_until(lambda: tool.run_value() is not None, 5), "Yes writes the Run value")
    check(tool.run_value() == command, "Run value is the quoted path and /autohide (%s)" % tool.run_value())
    check(wait_until(lambda: tool.out("checked", 1001) == "1", 5), "Yes ticks the box")
    print("question came %.1f s after the launch call" % elapsed)
    tool.stop()

    # Run value present: no question, box ticked.
    tool.start(" /visible")
    time.sleep(2.5)
    check(not box_up(tool), "no question when the Run value exists")
    check(tool.out("checked", 1001) == "1", "box ticked when the Run value exists")

    # The box: clearing deletes the value, ticking writes it; the box follows the registry.
    tool.probe("click", 1001)
    check(wait_until(lambda: tool.run_value() is None, 5), "clearing the box deletes the value")
    check(tool.out("checked", 1001) == "0", "box cleared")
    tool.probe("click", 1001)
    check(wait_until(lambda: tool.run_value() == command, 5), "ticking the box writes the value")
    check(tool.out("checked", 1001) == "1", "box ticked")

    # A failed write: without the Run key the value cannot be written. The user is told, and the
    # box shows the truth (unticked), not the choice.
    tool.probe("click", 1001)
    check(wait_until(lambda: tool.run_value() is None, 5), "cleared again")
    run_windows(["reg", "delete", RUN_KEY, "/f"])
    try:
        tool.probe("click", 1001)
        check(wait_until(lambda: box_up(tool), 10), "failure message box appears")
        rc, lines = tool.probe("box")
        check(any("无法设置" in line for line in lines), "failure text (%s)" % lines)
        tool.probe("box-answer", "ok")
        check(wait_until(lambda: not box_up(tool), 5), "message box closed")
        check(wait_until(lambda: tool.out("checked", 1001) == "0", 5),
              "after the failed write the box shows the real state: unticked")
        check("but the Run value is absent" in tool.log(), "the mismatch is logged")
    finally:
        run_windows(["reg", "add", RUN_KEY, "/f"])


if __name__ == "__main__":
    scenario(run)
