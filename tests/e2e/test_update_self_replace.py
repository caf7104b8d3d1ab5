"""The tool replaces itself with a good new version: the next build of this tree, signed and offered
on the server. A read-only executable is left alone and the tool keeps running. Otherwise the tool
starts the new executable from beside its own, ends once the new one has confirmed, and the new one
comes up hidden, says so in a balloon with its own version, and then takes the executable's place;
the tool is away for under 3 s, the executable holds the old bytes until the old tool has ended,
nothing is left beside it, and no script ever appears in the shared update folder. The new version is not fetched again. The floor of accepted publications
is this user's: after sequence 6, sequence 5 offering an older executable fetches nothing, even
when the installed version.txt is put back to sequence 3."""
import os
import stat
import threading

import zt_e2e
from probe import check, wait_until
from update_rig import (GapWatch, descriptor, end_unstarted_copy, run_scenario, scheduled_check, sequence_floors,
                        serve_updater, standin_package, versions)


class ScriptWatch:
    """Looks for .bat and .cmd files under C:\\ZT_Update while it runs."""

    def __init__(self, root):
        self.root, self.seen, self.stop = root, set(), threading.Event()
        self.thread = threading.Thread(target=self.watch, daemon=True)
        self.thread.start()

    def watch(self):
        while not self.stop.wait(0.02):
            for folder, _, files in os.walk(self.root):
                self.seen.update(os.path.join(folder, f) for f in files if f.lower().endswith((".bat", ".cmd")))

    def scripts(self):
        self.stop.set()
        self.thread.join()
        return sorted(self.seen)


def run(e2e, tool, server):
    current, following = versions(e2e)
    exe_unix = zt_e2e.to_unix(tool.win_exe)
    package = standin_package(e2e)
    old = open(exe_unix, "rb").read()
    new = open(os.path.join(e2e.build, "ZT_AutoUpdate_next.exe"), "rb").read()
    env = {"ZT_UPDATE_SERVER": server.address()}

    def publish(seq, version, name, body):
        return serve_updater(server, package, seq, version, name, body)

    # The installed package matches the server's, so only the self-update has work to do.
    served = publish(5, following, "ZT_AutoUpdate_next.exe", new)
    server.serve("data_pkg_0201.exe", package)
    tool.install_local_files(data_program=False, descriptor=served)
    with open(os.path.join(tool.update_root(), "data_update.exe"), "wb") as f:
        f.write(package)

    print("-- a read-only executable", flush=True)
    os.chmod(exe_unix, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
    tool.start(" /autohide", env=env)
    scheduled_check(tool)
    check(wait_until(lambda: "not installed: the executable" in tool.log(), 30), "log says why it is not installed")
    check("read-only" in tool.log(), "the reason is the read-only executable")
    check(tool.running(), "the tool keeps running")
    check(open(exe_unix, "rb").read() == old, "the executable is unchanged")
    check(server.requested("ZT_AutoUpdate_next.exe") == 0, "the new version was not even downloaded")
    tool.stop()
    os.chmod(exe_unix, stat.S_IRUSR | stat.S_IWUSR | stat.S_IRGRP | stat.S_IROTH)

    print("-- the good new version %s" % following, flush=True)
    scripts = ScriptWatch(tool.update_root())
    tool.start(" /autohide", env=env)
    old_pid = tool.pid
    gap = GapWatch(tool, 90)
    scheduled_check(tool)
    tray_gap_ms = gap.result_ms(100)
    check(tray_gap_ms is not None, "a new main window came up")
    check(wait_until(lambda: not e2e.running(old_pid), 30), "the old tool ended")
    check(wait_until(lambda: open(exe_unix, "rb").read() == new, 15), "the new version is in place")
    check(wait_until(lambda: "version %s is up" % following in tool.log(), 30), "the new version confirmed")
    confirmed = [line for line in tool.log().splitlines() if "version %s confirmed that it runs" % following in line]
    check(confirmed, "the previous version saw the confirmation")
    away_ms = int(confirmed[-1].split(", ")[-1].split(" ms ")[0])
    check(away_ms < 3000, "the tool was away for %d ms (under 3 s)" % away_ms)
    check(tray_gap_ms < 1000, "the tray icon was gone for %d ms at most" % tray_gap_ms)
    check(wait_until(lambda: not tool.visible(), 10), "it runs hidden")
    log = tool.log()
    check("balloon 自动升级工具更新成功, 版本:%s" % following in log, "its balloon names the version now running")
    starts = [line for line in log.splitlines() if " start version " in line]
    check(starts[-1].split(" start version ")[1].startswith(following)
          and ('%s.ztnew" /autohide /replaced %s ' % (tool.win_exe, old_pid)) in starts[-1],
          "the new version started hidden from beside the executable, naming the old tool: %s" % starts[-1])
    # Its place is taken only after the confirmation and the old tool's end, in that order.
    order = [log.find(mark) for mark in ("version %s confirmed that it runs" % following,
                                         "version %s has taken the place of %s" % (following, tool.win_exe))]
    check(-1 not in order and order == sorted(order), "confirmed, then moved over the executable")
    check(not any(os.path.exists(exe_unix + suffix) for suffix in (".ztnew", ".ztold")), "nothing left beside it")
    check(not os.path.exists(zt_e2e.to_unix(zt_e2e.REPLACING_RECORD)), "the hand-over's record is gone")
    check(scripts.scripts() == [], "no script appeared under C:\\ZT_Update")
    print("replacement: away %d ms, tray icon gone %d ms" % (away_ms, tray_gap_ms), flush=True)

    def scheduled_check_done(done_mark):
        """The running copy's scheduled check, until `done_mark` appears in the log it adds."""
        before = len(tool.log())
        scheduled_check(tool)
        check(wait_until(lambda: done_mark in tool.log()[before:], 30), "check ended with: " + done_mark)
        return tool.log()[before:]

    # The check of the same version ends with the balloon taken down (WM_UPDATER_DONE 0).
    scheduled_check_done("balloon (taken down)")
    check(server.requested("ZT_AutoUpdate_next.exe") == 1, "the new version was not fetched again")

    def restarted_check(done_mark):
        end_unstarted_copy(tool)
        tool.start(" /autohide", env=env)
        return scheduled_check_done(done_mark)

    print("-- the floor", flush=True)
    publish(6, following, "ZT_AutoUpdate_next.exe", new)
    restarted_check("balloon (taken down)")
    floors = sequence_floors()
    check(list(floors.values()) == [6], "this user's floor is 6, under the one key (%s)" % floors)
    publish(5, current, "ZT_AutoUpdate_prev.exe", old)
    check("refused: its sequence 5 is lower than 6" in restarted_check("server version.txt refused"),
          "sequence 5 is refused after 6")
    check(server.requested("ZT_AutoUpdate_prev.exe") == 0, "the older executable is not fetched")
    with open(os.path.join(tool.update_root(), "version.txt"), "wb") as f:
        f.write(descriptor("0201", "data_pkg_0201.exe", len(package), data_bytes=package, seq=3))
    publish(4, current, "ZT_AutoUpdate_prev.exe", old)
    check("refused: its sequence 4 is lower than 6" in restarted_check("server version.txt refused"),
          "sequence 4 is refused although version.txt was put back to sequence 3")
    check(server.requested("ZT_AutoUpdate_prev.exe") == 0, "the older executable is still not fetched")
    tool.stop()


def put_right(tool):
    """A failed run may leave the executable read-only, or a copy the tool started itself."""
    try:
        os.chmod(zt_e2e.to_unix(tool.win_exe), stat.S_IRUSR | stat.S_IWUSR | stat.S_IRGRP | stat.S_IROTH)
    except OSError:
        pass
    end_unstarted_copy(tool, wait=False)


def main():
    run_scenario(run, on_failure=put_right)


if __name__ == "__main__":
    main()
