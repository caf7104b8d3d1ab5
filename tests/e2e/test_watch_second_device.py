"""A second device with another identity, plugged in while the first one's report is still
remembered, is reported at once: no forget timer needed."""
import watch_rig as R
from watch_rig import check


def run(rig):
    rig.install_local(2002)
    rig.start_simulator(["device first version=2002 id=ZT000001"])
    rig.start_tool()
    rig.ticks(3)
    rig.wait_for("balloon", R.BALLOON_UP_TO_DATE + "2002", timeout=30)
    rig.ticks(42)  # past the launch spacing; the first device stays remembered
    mark = rig.mark()
    # The queries address the device found last: the second one.
    rig.sim.plug(["device first version=2002 id=ZT000001", "device second version=2001 id=ZT000002"])
    rig.ticks(3)
    _, e = rig.wait_for("device", "data update started", after=mark, timeout=60)
    check('id "ZT000002"' in e.details, "the second device is the one reported: %s" % e)
    rig.wait_for("balloon", R.BALLOON_OLDER, after=mark)
    rig.wait_for("updater-launch", "the data-update program ended", after=mark, timeout=60)
    check(not rig.find("device", 'id "ZT000001"', after=mark), "the first device is not reported again")


R.scenario(run)
