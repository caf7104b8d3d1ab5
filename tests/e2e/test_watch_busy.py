"""While a download runs (the package transfer stalls on the server), no device poll happens;
once it has ended, the next poll reports the device."""
import watch_rig as R
from watch_rig import check


def run(rig):
    server = rig.start_server()
    server.publish(2002)
    server.fault("data_update.exe", '{"stall_after": 4096, "stall_seconds": 25}')
    rig.start_simulator()
    rig.start_tool()  # no local files: the first refresh fetches and starts the data thread
    check(R.wait_until(lambda: rig.tool.out("progress").startswith("visible=1"), 40), "download in progress")
    rig.sim.plug(["device pnv1 version=2002 id=ZT000001"])
    mark = rig.mark()
    rig.ticks(15)
    check(not rig.find("device", "", after=mark), "no poll while busy")
    rig.wait_for("data", "version 2002 installed", timeout=60)
    mark = rig.mark()
    rig.ticks(3)
    _, e = rig.wait_for("device", "up to date", after=mark, timeout=30)
    check("data version 2002" in e.details, "polled again once the download ended: %s" % e)


R.scenario(run)
