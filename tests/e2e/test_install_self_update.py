"""The installed tool keeps itself current where an ordinary account may write: installed per
user, started by its HKCU Run value, it finds a new signed version (the next build of this tree) on
the update server at its scheduled check, starts it from beside its executable inside
%LOCALAPPDATA%\\Programs\\ZT_AutoUpdate, and the new one comes back hidden and takes the executable's
place. The publication is made by scripts/publish with an x86 and an x64 executable: the x64 tool
fetches the x64 file alone."""
import os
import shutil
import subprocess
import tempfile

import zt_e2e
from install_rig import check, run_scenario, wait_for
from update_rig import UpdateServer, versions
from zt_ids import IDT_WATCH


def as_x86(image):
    """The image with its COFF machine set to x86: what the publisher checks of an x86 build (its
    version resource, key and server are this build's). The x64 tool must never fetch it."""
    pe = int.from_bytes(image[0x3C:0x40], "little")
    return image[:pe + 4] + (0x014C).to_bytes(2, "little") + image[pe + 6:]


def publish(e2e, root, package, new, version):
    """scripts/publish's publication of `package` and both executables, copied into the server's root."""
    with tempfile.TemporaryDirectory() as work:
        files = {"pkg_0201.exe": package, "ZT_AutoUpdate_x86.exe": as_x86(new), "ZT_AutoUpdate_x64.exe": new}
        for name, data in files.items():
            with open(os.path.join(work, name), "wb") as f:
                f.write(data)
        out = os.path.join(work, "pub")
        subprocess.run([os.path.join(e2e.source, "scripts", "publish"), "--key", zt_e2e.SIGNING_KEY, "--out", out,
                        "--data", os.path.join(work, "pkg_0201.exe"), "--data-version", "0201",
                        "--date", "2026-12-01", "--region", "华南地区",
                        "--updater", os.path.join(work, "ZT_AutoUpdate_x86.exe"),
                        "--updater-x64", os.path.join(work, "ZT_AutoUpdate_x64.exe"), "--updater-version", version],
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        for name in os.listdir(os.path.join(out, "autoupdate")):
            shutil.copy(os.path.join(out, "autoupdate", name), os.path.join(root, name))
        with open(os.path.join(out, "autoupdate", "version.txt"), "rb") as f:
            return f.read()

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
    served = publish(rig.e2e, server.root, package, new, following)
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
    check(server.requested("ZT_AutoUpdate_x64.exe") == 1 and server.requested("ZT_AutoUpdate_x86.exe") == 0,
          "the x64 tool fetched the x64 executable alone")
    rig.uninstall_quietly()


def main():
    run_scenario(lambda rig: with_server(rig, run))


if __name__ == "__main__":
    main()
