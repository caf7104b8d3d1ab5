"""The installed tool keeps itself current where an ordinary account may write: installed per
user, started by its HKCU Run value, it finds a new signed version (the next build of this tree) on
the update server at its scheduled check, starts it from beside its executable inside
%LOCALAPPDATA%\\Programs\\ZT_AutoUpdate, and the new one comes back hidden and takes the executable's place."""
import os

import zt_e2e
from install_rig import check, run_scenario, wait_for
from update_rig import UpdateServer, descriptor, versions
from zt_ids import IDT_WATCH

SCHEDULED_CHECK_TICK = 151


def with_server(rig, body):
    server = UpdateServer(rig.e2e.args.server)
    try:
        body(rig, server)
    finally:
        server.stop()


def run(rig, server):
    check(rig.install_silently()[0] == 0, "installed silently")
    following = versions(rig.e2e)[1]
    new = open(os.path.join(rig.e2e.build, "ZT_AutoUpdate_next.exe"), "rb").read()
    package = open(os.path.join(rig.e2e.build, "simdev", "data_update_standin.exe"), "rb").read()
    served = descriptor("0201", "pkg_0201.exe", len(package), data_bytes=package, updater_version=following,
                        updater_file="ZT_AutoUpdate_28.exe", updater_length=len(new), updater_bytes=new)
    server.serve("version.txt", served)
    server.serve("pkg_0201.exe", package)
    server.serve("ZT_AutoUpdate_28.exe", new)
    # The installed package matches the server's, so no data download makes the tool busy at the
    # scheduled check: only the self-update has work to do.
    root = zt_e2e.to_unix(zt_e2e.UPDATE_ROOT)
    os.makedirs(root, exist_ok=True)
    for name, data in (("data_update.exe", package), ("version.txt", served)):
        with open(os.path.join(root, name), "wb") as f:
            f.write(data)

    old_pid = rig.start_as_autostart(server.address())
    rc, _ = zt_e2e.run_windows([rig.probe_exe, "tick", IDT_WATCH, SCHEDULED_CHECK_TICK], timeout=600)
    check(rc == 0, "%d ticks sent" % SCHEDULED_CHECK_TICK)
    check(wait_for(lambda: not rig.e2e.running(old_pid), 60), "the old tool ended for the replacement")
    check(wait_for(lambda: rig.installed_bytes() == new, 60), "the new version is in %s" % rig.folder)
    check(wait_for(lambda: rig.window("find"), 60), "the new tool runs")
    check(wait_for(lambda: "version %s is up" % following in rig.e2e.read_log(), 30), "and confirmed that it is up")
    check(not rig.window("visible"), "hidden")
    log = rig.e2e.read_log()
    check("(signature and hash verified) is in place" in log, "the new version was verified before the swap")
    starts = [line for line in log.splitlines() if " start version " in line]
    check('"%s.ztnew" /autohide /replaced %s ' % (rig.exe, old_pid) in starts[-1],
          "started as the replacement from beside the executable: %s" % starts[-1])
    check(wait_for(lambda: "has taken the place of %s" % rig.exe in rig.e2e.read_log(), 30),
          "and then took the executable's place")
    check(not os.path.exists(zt_e2e.to_unix(rig.exe + ".ztnew")), "nothing left aside")
    rig.uninstall_quietly()


def main():
    run_scenario(lambda rig: with_server(rig, run))


if __name__ == "__main__":
    main()
