"""A device holding the newest data or newer: the up-to-date balloon with the device's own
version, nothing started, and the same balloon again each time the forget timer has fired while
it stays connected."""
import watch_rig as R
from watch_rig import check
from zt_ids import IDT_FORGET_DEVICE

# (device version with the installed data at 2001, balloon expected)
ROWS = [
    ("2001", R.BALLOON_UP_TO_DATE + "2001"),  # D = N
    ("2005", R.BALLOON_UP_TO_DATE + "2005"),  # D > N
    ("2005", R.BALLOON_UP_TO_DATE + "2005"),  # still connected: again after the next forget
]


def run(rig):
    rig.install_local(2001)
    rig.start_simulator()
    rig.start_tool()
    for n, (version, balloon) in enumerate(ROWS):
        mark = rig.mark()
        rig.sim.plug(["device pnv1 version=%s id=ZT000001" % version])
        if n > 0:
            # Remembered: nothing is said until the forget timer fires.
            rig.ticks(6)
            check(not rig.find("balloon", "", after=mark), "row %d: silent before the forget timer" % n)
            rig.ticks(1, timer=IDT_FORGET_DEVICE)
        rig.ticks(3)
        rig.wait_for("balloon", balloon, timeout=30, after=mark)
        _, e = rig.wait_for("device", "up to date", after=mark)
        check("data version %s" % version in e.details and "newest 2001" in e.details, "row %d logged: %s" % (n, e))
        check(len(rig.find("balloon", "", after=mark)) == 1, "row %d: one balloon" % n)
    check(not rig.find("updater-launch", ""), "nothing started")


R.scenario(run)
