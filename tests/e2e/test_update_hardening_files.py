"""Files that another account can plant or hold in the tool's way.

- Every log file the tool may use (the user's autoupdate.log and autoupdate.log.1) is locked whole
  by other processes (probes): the window still answers a sent message within 1 s, while ticks
  keep it working and its workers download and log (lines that are dropped).
- A 2 GiB sparse data_update.exe beside a valid signed version.txt: the start of the data-update
  program is refused with a reason (the log and the balloon), the tool stays up, and its working
  set stays under 64 MiB: the file is refused from its size, never read into memory."""
import os
import subprocess
import time

import zt_e2e
from probe import check, wait_until
from update_rig import run_scenario, serve_data, standin_package
from zt_ids import IDC_BTN_START_UPDATE, IDT_WATCH

LIMIT_MS = 1000
HUGE = 2 << 30
MEMORY_LIMIT = 64 << 20


class Holders:
    """Probes that lock files whole for minutes; ended by their own process handles."""

    def __init__(self, tool, files):
        self.procs = []
        self.outs = []
        for n, path in enumerate(files):
            out_path = os.path.join(tool.e2e.build, "hardening-hold-%d-%d.out" % (os.getpid(), n))
            out = open(out_path, "wb")
            self.outs.append((out, out_path))
            self.procs.append(subprocess.Popen(["wine", tool.probe_exe, "lock-file", path, "600000"],
                                               stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
                                               env=dict(os.environ, WINEDEBUG="-all")))

    def holding(self):
        return all(b"held" in open(path, "rb").read() for _, path in self.outs)

    def stop(self):
        for proc in self.procs:
            proc.kill()
            proc.wait()
        for out, path in self.outs:
            out.close()
            os.remove(path)


def answers_while_ticking(tool, seconds):
    """The times the window took to answer WM_NULL while a probe sends it ticks in the background."""
    ticks = subprocess.Popen(["wine", tool.probe_exe, "tick", str(IDT_WATCH), "400"], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             env=dict(os.environ, WINEDEBUG="-all"))
    answers = []
    try:
        end = time.time() + seconds
        # Until the ticks have all been taken (the scheduled checks among them), at most `seconds`.
        while time.time() < end and (ticks.poll() is None or not answers):
            ms = tool.send(0, timeout_ms=10000)
            check(ms is not None, "the window answered")
            answers.append(ms)
    finally:
        ticks.kill()
        ticks.wait()
    return answers


def run(e2e, tool, server):
    check(zt_e2e.SIGNING_KEY is not None, "the build under test has a key (ZT_TEST_SIGNING_KEY)")
    package = standin_package(e2e)
    served = serve_data(server, package)
    tool.set_run_value("x")  # no auto-start question

    print("-- every log file locked whole by another process", flush=True)
    own = zt_e2e.to_unix(zt_e2e.OWN_FOLDER)
    os.makedirs(own, exist_ok=True)
    logs = [zt_e2e.LOG_FILE, zt_e2e.LOG_FILE + ".1"]
    holders = Holders(tool, logs)
    try:
        check(wait_until(holders.holding, 30), "both log files are locked whole")
        # Started as at log-on, hidden. The first download's balloons come before the answers are
        # timed: under Wine without a window manager a balloon's window takes seconds, log or no log.
        tool.start(" /autohide", env={"ZT_UPDATE_SERVER": server.address()})
        installed = os.path.join(tool.update_root(), "data_update.exe")
        check(wait_until(lambda: os.path.exists(installed) and open(installed, "rb").read() == package, 60),
              "the package is installed meanwhile")
        fetches = server.requested("version.txt")
        # 400 ticks: the scheduled checks at ticks 151 and 155 log on the window's thread, and their
        # workers fetch and log, all while the log is held.
        answers = answers_while_ticking(tool, 40)
        print("%d answers, slowest %d ms" % (len(answers), max(answers)), flush=True)
        check(max(answers) < LIMIT_MS, "every answer within %d ms (slowest %d ms)" % (LIMIT_MS, max(answers)))
        check(server.requested("version.txt") > fetches, "the scheduled checks ran meanwhile (version.txt fetched)")
        log = open(zt_e2e.to_unix(zt_e2e.LOG_FILE), "rb").read() if os.path.exists(zt_e2e.to_unix(zt_e2e.LOG_FILE)) else b""
        check(b"pkg_0201" not in log, "and no line reached the held log")
        check(tool.running(), "the tool runs")
    finally:
        holders.stop()
    tool.stop()

    print("-- a 2 GiB sparse data_update.exe beside a valid signed version.txt", flush=True)
    tool.clean_update_root()
    tool.install_local_files(data_program=False, descriptor=served)
    huge = os.path.join(tool.update_root(), "data_update.exe")
    with open(huge, "wb") as f:
        f.truncate(HUGE)
    # No server: nothing replaces the planted file meanwhile.
    tool.start(" /visible")
    tool.probe("command", IDC_BTN_START_UPDATE)
    reason = "its size %d is larger than the %d bytes the descriptor gives" % (HUGE, len(package))
    check(wait_until(lambda: "updater-launch refused: data_update.exe is not started: " + reason in tool.log(), 60),
          "the start is refused with its reason in the log")
    check(wait_until(lambda: "balloon 已下载的数据升级包未通过校验，未启动。" in tool.log(), 10), "and in the balloon")
    check(tool.running() and tool.send(0) is not None, "the tool stays up and answers")
    rc, lines = tool.probe("memory")
    check(rc == 0 and lines and lines[0].startswith("peak="), "the working set read (%s)" % lines)
    peak = int(lines[0].split()[0].split("=")[1])
    check(peak < MEMORY_LIMIT, "the peak working set stays under 64 MiB (%.1f MiB)" % (peak / 1048576.0))
    check(os.path.getsize(huge) == HUGE, "the planted file is left as it is")
    tool.stop()
    os.remove(huge)


def main():
    run_scenario(run)


if __name__ == "__main__":
    main()
