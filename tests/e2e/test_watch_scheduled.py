"""The scheduled checks: nothing is fetched before tick 151; at tick 151 the server's descriptor
is fetched and the updater thread runs; at tick 155 the data thread installs the newer package
that appeared on the server after the tool started. The descriptor names an updater file the tool
refuses (not a plain name) for its own version: that must not keep the data package from coming."""
import os

import watch_rig as R
from watch_rig import check


def run(rig):
    rig.install_local(2001)
    server = rig.start_server()
    server.publish(2001)
    rig.start_tool()
    server.publish(2002, updater_file="ZT_AutoUpdate(2.7).exe")
    rig.ticks(140)
    check(not server.requests(), "nothing fetched before tick 151")
    rig.ticks(20)
    _, upd = rig.wait_for("check", "updater check at tick 151")
    _, dat = rig.wait_for("check", "data check at tick 155")
    rig.wait_for("data", "version 2002 installed", timeout=60)
    paths = [r["path"] for r in server.requests()]
    check(paths[:2] == ["/autoupdate/version.txt", "/autoupdate/data_update.exe"],
          "descriptor, then the package: %s" % paths)
    with open(os.path.join(rig.tool.update_root(), "version.txt"), "rb") as f:
        check(b"data_version=2002" in f.read(), "installed descriptor is 2002")
    check(not rig.find("self-update", "offered"), "no self-update offered for the same tool version")


R.scenario(run)
