"""The tool replaces itself: a new updater version on the server makes the running tool download
it, place it beside itself, write delete.bat and end; cmd runs the script, which swaps the new exe
in and starts it with /autohide. Before that, a read-only exe is left alone and the tool keeps
running, and a swap that fails (the new copy held by a scanner) puts the old exe back and starts it
again: the tool is never lost."""
import os
import stat
import subprocess

import zt_e2e
from probe import check, wait_until
from update_rig import descriptor, run_scenario

WM_UPDATER_DONE = 0x0592
IDT_WATCH = 1
SCHEDULED_CHECK_TICK = 151


def run(e2e, tool, server):
    exe_unix = zt_e2e.to_unix(tool.win_exe)
    # The installed package matches the server's, so only the self-update has work to do.
    package = open(os.path.join(e2e.build, "simdev", "data_update_standin.exe"), "rb").read()
    old = open(exe_unix, "rb").read()
    new = old + b"\0ZT-NEW-BUILD-2.8\0" * 64  # the same program with an overlay: runs, and differs
    served = descriptor("0201", "data_pkg_0201.exe", len(package), data_bytes=package, updater_version="2.8",
                        updater_file="ZT_AutoUpdate_28.exe", updater_length=len(new), updater_bytes=new)
    server.serve("version.txt", served)
    server.serve("data_pkg_0201.exe", package)
    server.serve("ZT_AutoUpdate_28.exe", new)
    tool.install_local_files(data_program=False, descriptor=served)
    with open(os.path.join(tool.update_root(), "data_update.exe"), "wb") as f:
        f.write(package)
    env = {"ZT_UPDATE_SERVER": server.address()}
    script = os.path.join(tool.update_root(), "Download", "delete.bat")

    # 1. A read-only executable: nothing downloaded, no script, the tool keeps running.
    os.chmod(exe_unix, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
    tool.start(" /autohide", env=env)
    rc, lines = tool.probe("tick", IDT_WATCH, SCHEDULED_CHECK_TICK, timeout=600)
    check(rc == 0, "%d ticks sent" % SCHEDULED_CHECK_TICK)
    check(wait_until(lambda: "not installed: the executable" in tool.log(), 30),
          "log says why the new version is not installed")
    check("read-only" in tool.log(), "the reason is the read-only executable")
    check(tool.running(), "the tool keeps running")
    check(not os.path.exists(script), "no delete.bat written")
    check(open(exe_unix, "rb").read() == old, "the executable is unchanged")
    check(server.requested("ZT_AutoUpdate_28.exe") == 0, "the new exe was not even downloaded")
    tool.stop()
    os.chmod(exe_unix, stat.S_IRUSR | stat.S_IWUSR | stat.S_IRGRP | stat.S_IROTH)

    # 2. The new copy is held (as a scanner would, readers still allowed) from the moment it
    # is placed: the tool's own checks read it, the script's swap fails, and the old exe goes
    # back in place and runs again.
    placed = tool.win_exe + ".ztnew"
    holder_path = os.path.join(e2e.build, "holder.out")
    holder_out = open(holder_path, "wb")
    holder = subprocess.Popen(["wine", tool.probe_exe, "hold", placed, placed, "0", "90000"],
                              stdin=subprocess.DEVNULL, stdout=holder_out, stderr=subprocess.DEVNULL,
                              env=dict(os.environ, WINEDEBUG="-all"))
    held = lambda word: word in open(holder_path, "rb").read().decode()
    try:
        check(wait_until(lambda: held("waiting"), 60), "the holder watches for the new copy")
        tool.start(" /autohide", env=env)
        held_pid = tool.pid
        tool.probe("tick", IDT_WATCH, SCHEDULED_CHECK_TICK, timeout=600)
        check(wait_until(lambda: not e2e.running(held_pid), 60), "the old tool ended after the download")
        check(wait_until(lambda: not os.path.exists(script), 60), "the script finished")
        check(held("held"), "the new copy was held")
        check(open(exe_unix, "rb").read() == old, "the old executable is back at its path")
        check(wait_until(lambda: tool.exists(), 60), "and a tool runs again (its main window exists)")
        check(not os.path.exists(exe_unix + ".ztold"), "nothing left aside")
    finally:
        holder.kill()
        holder.wait()
        holder_out.close()
    tool.post(WM_UPDATER_DONE, 1, 0)  # the restarted copy was not started by the scenario
    check(wait_until(lambda: not tool.exists(), 20), "the restarted copy ended")

    # 3. The replacement.
    tool.start(" /autohide", env=env)
    old_pid = tool.pid
    rc, lines = tool.probe("tick", IDT_WATCH, SCHEDULED_CHECK_TICK, timeout=600)
    check(wait_until(lambda: not e2e.running(old_pid), 60), "the old tool ended after the download")
    check(wait_until(lambda: open(exe_unix, "rb").read() == new, 60),
          "the script copied the new exe over the old one")
    check(wait_until(lambda: not os.path.exists(script), 30), "delete.bat deleted itself")
    check(wait_until(lambda: tool.exists(), 60), "the new tool is running (its main window exists)")
    check(not tool.visible(), "started with /autohide: its window is hidden")
    log = tool.log()
    check("download ZT_AutoUpdate_28.exe expected=%d status=200 received=%d result=stored" % (len(new), len(new))
          in log, "log: the updater download")
    check("script started" in log, "log: the script was started")
    starts = [line for line in log.splitlines() if " start version " in line]
    check(len(starts) >= 3 and "/autohide" in starts[-1], "the new instance logged its start with /autohide")
    # The new instance was not started by this scenario (no pid): end it as a finished
    # self-update would.
    tool.post(WM_UPDATER_DONE, 1, 0)
    check(wait_until(lambda: not tool.exists(), 20), "the new instance ended")


def put_right(tool):
    """A failed run may leave the executable read-only, or a copy the script started."""
    try:
        os.chmod(zt_e2e.to_unix(tool.win_exe), stat.S_IRUSR | stat.S_IWUSR | stat.S_IRGRP | stat.S_IROTH)
    except OSError:
        pass
    if tool.exists():
        tool.post(WM_UPDATER_DONE, 1, 0)


def main():
    run_scenario(run, on_failure=put_right)


if __name__ == "__main__":
    main()
