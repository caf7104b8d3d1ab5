"""Device data at 9318, installed data at 9319: the major-update balloon with both numbers at the
first poll the launch spacing allows, nothing started, and the same report again once the
20-second forget timer has fired by itself."""
import watch_rig as R
from watch_rig import check

MAJOR = "由于当前连接的产品数据版本为9318，而最新数据版本为9319有较大更新。"


def run(rig):
    rig.install_local(9319)
    rig.start_simulator(["device pnv1 version=9318 id=ZT000001"])
    rig.start_tool()
    rig.ticks(45)
    _, first = rig.wait_for("balloon", MAJOR, timeout=30)
    _, e = rig.wait_for("device", "major update, nothing started")
    rig.check_first_allowed_report(e)
    check(not rig.find("updater-launch", "") and not rig.tool.exists("updater"), "nothing started")
    # Only the real forget timer (20 s) lets the device be reported again; the watch keeps ticking.
    found = R.wait_until(lambda: len(rig.find("balloon", MAJOR)) >= 2, 50, step=1)
    check(found, "reported again after the forget period")
    second = rig.find("balloon", MAJOR)[1][1]
    gap = (second.seconds - first.seconds) % 86400
    check(18 <= gap <= 30, "second report %d s after the first (20 s forget period)" % gap)


R.scenario(run)
