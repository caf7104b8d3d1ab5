"""C:\\ZT_Update is shared by every account of the PC, and any of them may write in it. A DLL
planted there beside data_update.exe is never loaded into the data-update program, which runs from
a checked copy in the user's own folder (the planted DLL is loaded when the program is run from
C:\\ZT_Update itself, which shows that the rig would catch it). A Download folder, or the whole
update folder, replaced by a link to another folder: nothing is written into the target and the
package is not fetched (the descriptor still is, into the user's own folder)."""
import os
import shutil

import zt_e2e
from probe import check, wait_until
from update_rig import descriptor, run_scenario
from zt_ids import IDC_BTN_START_UPDATE

PLANTED_MARK = "planted-loaded.txt"


def run(e2e, tool, server):
    root = tool.update_root()
    standin = open(os.path.join(e2e.build, "simdev", "data_update_standin.exe"), "rb").read()
    served = descriptor("0201", "data_pkg_0201.exe", len(standin), data_bytes=standin)
    server.serve("version.txt", served)
    server.serve("data_pkg_0201.exe", standin)
    env = {"ZT_UPDATE_SERVER": server.address(), "WINEDLLOVERRIDES": "version=n,b"}

    print("-- a version.dll planted beside data_update.exe", flush=True)
    tool.install_local_files(data_program=False, descriptor=served)
    with open(os.path.join(root, "data_update.exe"), "wb") as f:
        f.write(standin)
    shutil.copy(os.path.join(e2e.build, "standins", "version.dll"), os.path.join(root, "version.dll"))
    mark = os.path.join(root, PLANTED_MARK)
    zt_e2e.run_windows([zt_e2e.UPDATE_ROOT + "\\data_update.exe"], timeout=60, env={"WINEDLLOVERRIDES": "version=n,b"})
    check(os.path.exists(mark), "run from C:\\ZT_Update, the program loads the planted DLL")
    os.remove(mark)
    tool.set_run_value("x")
    tool.start(" /visible", env=env)
    tool.probe("command", IDC_BTN_START_UPDATE)
    check(wait_until(lambda: "the data-update program ended" in tool.log(), 60), "the data-update program ran")
    started = [line for line in tool.log().splitlines() if "updater-launch started" in line]
    check(started and "\\AppData\\Local\\ZT_AutoUpdate\\run\\data_update.exe" in started[0],
          "from the user's own folder: %s" % started)
    check(not os.path.exists(mark), "the planted DLL was not loaded")
    tool.stop()

    print("-- C:\\ZT_Update\\Download is a link", flush=True)
    target = os.path.join(tool.drive_c, "elsewhere")
    for link, name in ((os.path.join(root, "Download"), "Download"), (root, "the update folder")):
        tool.clean_update_root()
        shutil.rmtree(target, ignore_errors=True)
        os.makedirs(target)
        os.makedirs(os.path.dirname(link), exist_ok=True)
        os.symlink(target, link)
        requests = server.requested("data_pkg_0201.exe")
        tool.start(" /visible", env=env)
        # The information refresh wants the missing package: its fetches are refused.
        tool.probe("tick", 1, 10)
        tool.sync()
        if link != root:
            check(wait_until(lambda: "is a link (junction or symbolic link)" in tool.log(), 30),
                  "%s: the refusal is logged" % name)
        check(server.requested("data_pkg_0201.exe") == requests, "%s: the package was not fetched" % name)
        check(os.listdir(target) == [], "%s: nothing was written into the link's target (%s)" % (name, os.listdir(target)))
        tool.stop()
        os.remove(link)
    shutil.rmtree(target, ignore_errors=True)


def main():
    run_scenario(run)


if __name__ == "__main__":
    main()
