"""The auto-start question on its one-shot timer: answered No, nothing is written and nothing is
remembered, so the next visible start asks again; one question per run; a hidden start never
asks."""
import watch_rig as R
from watch_rig import check
from zt_ids import IDC_CHK_AUTOSTART


def box_up(rig):
    return rig.tool.probe("box")[0] == 0


def run(rig):
    for n in range(2):
        rig.tool.start(" /visible")
        check(R.wait_until(lambda: box_up(rig), 10), "start %d: the question comes" % (n + 1))
        rig.tool.probe("box-answer", "no")
        check(R.wait_until(lambda: not box_up(rig), 10), "start %d: answered No" % (n + 1))
        check(rig.tool.run_value() is None, "start %d: No writes no Run value" % (n + 1))
        check(rig.tool.out("checked", IDC_CHK_AUTOSTART) == "0", "start %d: the box stays clear" % (n + 1))
        # The one-shot timer was killed before asking: no second question in this run.
        check(not R.wait_until(lambda: box_up(rig), 3), "start %d: asked once" % (n + 1))
        rig.tool.stop()

    rig.tool.start(" /autohide")
    check(not R.wait_until(lambda: box_up(rig), 4), "hidden start: no question")
    check(rig.tool.run_value() is None, "hidden start: nothing written")


R.scenario(run)
