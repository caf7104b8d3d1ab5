"""A power cut never costs the user the tool. At three moments of a self-update every process of the
tool is ended at once, as a power cut or a log-off ends them: the moment the new copy appears beside
the executable (a version that never shows its window), while such a version has run unconfirmed
for a second and a half, and the moment a good new version (the next build of this tree) confirms.
Each time, the Run value's command, started exactly, brings up a tool (its window, its log says it
is up), nothing is left beside the executable, and the executable holds a version that has run. A
version that started and never confirmed is remembered and not fetched again; one that never
started, or that confirmed, is not remembered."""
import os
import subprocess

import zt_e2e
from probe import check, wait_until
from update_rig import run_scenario, scheduled_check, serve_updater, standin_package, user_state, versions

RECORD = zt_e2e.REPLACING_RECORD


class PowerCut:
    """launch.exe --power-cut in the background: it ends `pid` and the processes it started, all at
    once, when `file` exists (holding `text`), `after_ms` later."""

    def __init__(self, e2e, file, pid, text=None, after_ms=0):
        self.out = os.path.join(e2e.build, "power-cut-%d.txt" % os.getpid())
        for leftover in (self.out, self.out + ".watching"):
            if os.path.exists(leftover):
                os.remove(leftover)
        args = ["wine", e2e.launch_exe, "--power-cut", file, "--pid", str(pid), "--after", str(after_ms), "--out",
                zt_e2e.to_windows(self.out)]
        if text:
            args += ["--containing", text]
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, env=dict(os.environ, WINEDEBUG="-all"))
        check(wait_until(lambda: os.path.exists(self.out + ".watching"), 30), "the cut watches for its moment")

    def ended(self, timeout=90):
        """The ids of the processes it ended."""
        self.proc.wait(timeout=timeout)
        lines = open(self.out, encoding="utf-8").read().splitlines() if os.path.exists(self.out) else []
        print("power cut:", " | ".join(lines), flush=True)
        check(any(line.startswith("after_ms=") for line in lines), "the moment came")
        return [line.split("=", 1)[1] for line in lines if line.startswith("ended=")]


def run(e2e, tool, server):
    current, following = versions(e2e)
    exe_unix = zt_e2e.to_unix(tool.win_exe)
    placed = tool.win_exe + ".ztnew"
    package = standin_package(e2e)
    old = open(exe_unix, "rb").read()
    env = dict(zt_e2e.NO_SERVER, ZT_UPDATE_SERVER=server.address())
    run_command = '"%s" /autohide' % tool.win_exe
    # As the installer writes it; the tool under test lives outside every profile, so the machine's.
    tool.set_run_value(run_command)

    def publish(seq, version, name, body):
        return serve_updater(server, package, seq, version, name, body)

    def start_by_run_value():
        """Starts exactly the Run value's command, as the log-on does; returns the log from that start on."""
        command = tool.run_value()
        check(command == run_command, "the Run value names the executable (%s)" % command)
        mark = len(tool.log())
        report = e2e.start(command, env=env)
        tool.pid = report.get("pid")
        check(tool.pid is not None, "started %s (%s)" % (command, report))
        check(wait_until(tool.exists, 30), "its main window exists")
        check(wait_until(lambda: "start hidden in the notification area" in tool.log()[mark:], 30),
              "its log says it is up")
        return lambda: tool.log()[mark:]

    def failed_versions():
        return user_state("FailedUpdaterVersions") or ""

    def cut_during_update(version, name, body, seq, moment):
        """Publishes `version`, starts the tool by its Run value, lets its scheduled check take the
        version and cuts the power at `moment`(pid); then starts the Run value's command again."""
        print("-- %s (%s)" % (version, name), flush=True)
        publish(seq, version, name, body)
        start_by_run_value()
        previous = tool.pid
        cut = moment(previous)
        scheduled_check(tool)
        ended = cut.ended()
        check(previous in ended, "the running tool was ended")
        check(not e2e.running(previous), "it no longer runs")
        check(wait_until(lambda: not tool.exists(), 10), "no window of the tool is left")
        print("after the cut:\n" + zt_e2e.wine_processes(), flush=True)
        return ended, start_by_run_value()

    def not_fetched_again(version, name):
        before = len(tool.log())
        scheduled_check(tool)
        check(wait_until(lambda: "version %s not fetched: it failed here before" % version in tool.log()[before:], 30),
              "%s is not fetched again" % version)
        check(server.requested(name) == 1, "%s was fetched once" % version)

    # The installed package matches the server's, so only the self-update has work to do.
    served = publish(5, current, "ZT_AutoUpdate_same.exe", old)
    server.serve("data_pkg_0201.exe", package)
    server.serve("report", b"")
    tool.install_local_files(data_program=False, descriptor=served)
    with open(os.path.join(tool.update_root(), "data_update.exe"), "wb") as f:
        f.write(package)
    hangs = open(os.path.join(e2e.build, "standins", "updater_hangs.exe"), "rb").read()
    hangs_later = open(os.path.join(e2e.build, "standins", "updater_hangs_later.exe"), "rb").read()
    new = open(os.path.join(e2e.build, "ZT_AutoUpdate_next.exe"), "rb").read()

    # 1. The new copy appears beside the executable: the cut may come before its start or just after.
    ended, log = cut_during_update("3.2", "ZT_AutoUpdate_3.2.exe", hangs, 6, lambda pid: PowerCut(e2e, placed, pid))
    check(not os.path.exists(exe_unix + ".ztnew"), "no copy is left beside the executable")
    check(open(exe_unix, "rb").read() == old, "the executable holds the old bytes")
    started = "found new version 3.2 started and never confirmed" in log()
    unstarted = "that was never started: it is removed" in log()
    check(started != unstarted, "the start says what it found: %s" % [l for l in log().splitlines() if "found" in l])
    print("the cut came %s the new version's start" % ("after" if started else "before"), flush=True)
    check(("3.2" in failed_versions()) == started, "remembered only if it was started")
    if started:
        not_fetched_again("3.2", "ZT_AutoUpdate_3.2.exe")
    tool.stop()

    # 2. A version that never confirms has run for a second and a half.
    ended, log = cut_during_update("3.3", "ZT_AutoUpdate_3.3.exe", hangs_later, 7,
                                   lambda pid: PowerCut(e2e, RECORD, pid, after_ms=1500))
    check(len(ended) == 2, "the new version's process was ended with it (%s)" % ended)
    check(not os.path.exists(exe_unix + ".ztnew"), "no copy is left beside the executable")
    check(open(exe_unix, "rb").read() == old, "the executable holds the old bytes")
    check("found new version 3.3 started and never confirmed: it is removed and not fetched again" in log(),
          "the start says what it found and did")
    check("3.3" in failed_versions(), "remembered for this user")
    check(wait_until(lambda: any("result=rolled-back&version=3.3&" in e["path"] and "cause=interrupted" in e["path"]
                                 for e in server.requests("report")), 20),
          "the vendor hears of the interrupted version: %s" % [e["path"] for e in server.requests("report")])
    not_fetched_again("3.3", "ZT_AutoUpdate_3.3.exe")
    tool.stop()

    # 3. A good new version has just confirmed: it may or may not have taken the executable's place.
    name = "ZT_AutoUpdate_%s.exe" % following
    ended, log = cut_during_update(following, name, new, 8,
                                   lambda pid: PowerCut(e2e, RECORD, pid, text="stage=confirmed"))
    check(len(ended) == 2, "the new version's process was ended with it (%s)" % ended)
    check(not os.path.exists(exe_unix + ".ztnew"), "no copy is left beside the executable")
    held = open(exe_unix, "rb").read()
    check(held in (old, new), "the executable holds a version that has run")
    if held == new:
        check("found new version %s in the executable's place" % following in log(), "the start says so")
        check(" start version %s," % following in log(), "the new version came up from the executable's path")
    else:
        check("found new version %s confirmed but not yet in the executable's place" % following in log(),
              "the start says what it found and did")
        check(" start version %s," % current in log(), "the old version came up")
    print("the cut came %s the new version took the executable's place" % ("after" if held == new else "before"),
          flush=True)
    check(following not in failed_versions(), "a version that confirmed is not remembered")
    check(not os.path.exists(zt_e2e.to_unix(RECORD)), "the hand-over's record is gone")
    tool.stop()


def main():
    run_scenario(run)


if __name__ == "__main__":
    main()
