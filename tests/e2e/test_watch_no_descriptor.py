"""No local descriptor and no server: N is 0, so every device whose query succeeds is reported
up to date with its own version."""
import watch_rig as R
from watch_rig import check

# (devices plugged, the last one being queried; balloon expected)
ROWS = [
    (["device a version=2001 id=ZT000001"], R.BALLOON_UP_TO_DATE + "2001"),
    (["device a version=2001 id=ZT000001", "device b version=9999 id=ZT000002"], R.BALLOON_UP_TO_DATE + "9999"),
    (["device c version=1001 id=ZT000003"], R.BALLOON_UP_TO_DATE + "1001"),
]


def run(rig):
    rig.start_simulator()
    rig.start_tool()
    for n, (lines, balloon) in enumerate(ROWS):
        mark = rig.mark()
        rig.sim.plug(lines)
        rig.ticks(3)
        rig.wait_for("balloon", balloon, timeout=30, after=mark)
        _, e = rig.wait_for("device", "up to date", after=mark)
        check("newest 0" in e.details, "row %d: N is 0: %s" % (n, e))
    check(not rig.find("updater-launch", ""), "nothing started")


R.scenario(run)
