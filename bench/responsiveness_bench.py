"""Responsiveness benchmark: the figures of the real tool under Wine, with the rigs of the scenarios.

  plug     time from a device announcement (WM_DEVICECHANGE, DBT_DEVNODES_CHANGED) posted just after
           the simulated device was plugged in, to the first request the simulator takes
  answer   how long the main window takes to answer a message while the update server accepts
           connections and never answers, for 60 s across the scheduled checks of ticks 151 and 155
  write    how long the main window takes to answer a message while the data-update program writes
           the device for 20 s (a build that waits for it on the window's thread answers only after)
  cpu      CPU time of the tool's process idle in the tray (no device, server up to date), read
           from the Unix process that runs it every INTERVAL seconds and scaled to an hour

--quick takes one short sample of each figure and fails when one has no number (the suite runs it so
that a change of the rigs cannot break the benchmark unnoticed; its timings are never judged).

The device poll (open, two queries, close) is poll_bench.exe's; give its output with --poll-output
and it joins the table. Each --exe LABEL=PATH is measured in turn (e.g. before=old.exe after=new.exe),
every figure with a fresh copy of that exe installed and started.

Runs inside the Wine prefix and display of scripts/bench (WINEPREFIX, DISPLAY set), with the
rigs of --build (probe, launch, simdev, update_server.py of --source) and ZT_TEST_SIGNING_KEY set
when the build trusts a key. Windows programs write to files, never to pipes.
"""
import argparse
import os
import random
import re
import shutil
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import watch_rig as R  # noqa: E402
import zt_e2e  # noqa: E402

WM_DEVICECHANGE = 0x0219
DBT_DEVNODES_CHANGED = 0x0007
WM_NULL = 0
IDT_WATCH = 1
DATA_VERSION = 2002


class BenchE2E(zt_e2e.E2E):
    """The rigs of one build, and the tool's exe from anywhere (an older build, for instance)."""

    def __init__(self, build, source, exe):
        super().__init__(build, source)
        self.args = None  # the scenarios' command line, which the probe keeps but never reads here
        self.exe = os.path.abspath(exe)

    def install(self, folder=zt_e2e.INSTALL_FOLDER):
        target = zt_e2e.to_unix(folder)
        os.makedirs(target, exist_ok=True)
        shutil.copy(self.exe, os.path.join(target, zt_e2e.EXE_NAME))
        return folder + "\\" + zt_e2e.EXE_NAME


def fresh_rig(e2e):
    rig = R.Rig(e2e)
    # A copy left running would hold the single-instance mutex and answer for ours.
    zt_e2e.check(not rig.tool.exists(), "no other copy of the tool is running")
    rig.tool.clean_update_root()
    rig.tool.set_run_value(None)
    return rig


def close_rig(rig):
    rig.close()
    rig.tool.clean_update_root()


# --- plug-in to first request ----------------------------------------------------------------------
def plug_to_request(e2e, plugs):
    """Milliseconds from each announcement to the first request the simulator took after it; None
    for a plug-in the tool did not ask within 10 s."""
    rig = fresh_rig(e2e)
    delays = []
    try:
        rig.install_local(DATA_VERSION)
        rig.start_simulator()
        rig.start_tool(" /autohide")
        # Hiding the window at start holds its thread for a moment under Wine without a window
        # manager: measure once the window answers.
        time.sleep(0.5)
        rig.tool.sync()
        for n in range(plugs):
            rig.sim.plug(["device car version=%d id=ZT%06d" % (DATA_VERSION, n)])
            posted = rig.tool.post(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0)

            def after():
                return [(ms, command) for ms, _, command in rig.sim.requests() if ms >= posted]

            if R.wait_until(after, 10, step=0.02):
                delays.append(min(ms for ms, _ in after()) - posted)
                # Unplugged only once the poll has asked both questions.
                R.wait_until(lambda: {"A7", "AF"} <= {c for _, c in after()}, 5, step=0.05)
            else:
                delays.append(None)
            time.sleep(0.3)
            rig.sim.plug([])
            # Spread the plug-ins over the watch timer's third second, which a build without the
            # announcement waits for.
            time.sleep(random.uniform(0.2, 1.2))
    finally:
        close_rig(rig)
    return delays


# --- window answers while the server stalls ---------------------------------------------------------
def ask_window(tool, seconds, timeout_ms):
    """Sends WM_NULL to the main window one message after another for `seconds`: the answer times
    (a time-out counts as its full wait) and the number of probe runs that failed to report."""
    answers, failed = [], 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        rc, lines = tool.probe("send", WM_NULL, 0, 0, timeout_ms, timeout=timeout_ms / 1000 + 60)
        m = re.match(r"(result=\S+|timeout) ms=(\d+)", lines[0] if lines else "")
        if m:
            answers.append(int(m.group(2)))
        else:
            failed += 1
    return answers, failed


def answers_while_stalled(e2e, seconds):
    rig = fresh_rig(e2e)
    try:
        server = rig.start_server()
        with open(os.path.join(server.root, "version.txt"), "wb") as f:
            f.write(R.descriptor(DATA_VERSION, b"x"))
        server.fault("version.txt", '{"stall_before": 600}')
        rig.tool.set_run_value("x")  # no auto-start question
        rig.start_tool(" /visible")
        result = {}
        asker = threading.Thread(target=lambda: result.update(zip(("answers", "failed"),
                                                                  ask_window(rig.tool, seconds, 45000))))
        asker.start()
        # The scheduled fetch of tick 151 meets the stalled server, and the data check of 155 with it.
        rc, _ = rig.tool.probe("tick", IDT_WATCH, 151, timeout=600)
        rc2, _ = rig.tool.probe("tick", IDT_WATCH, 4, timeout=600)
        asker.join()
        zt_e2e.check(rc == 0 and rc2 == 0, "ticks up to 155 taken")
        zt_e2e.check(result.get("answers"), "the window was asked")
    finally:
        close_rig(rig)
    return result["answers"], result["failed"]


# --- window answers while the device is written -------------------------------------------------------
def answers_while_writing(e2e, seconds):
    """Answer times of the main window while the data-update program (the stand-in, running
    `seconds`) writes an older device; a time-out counts as its full wait."""
    rig = fresh_rig(e2e)
    try:
        rig.install_local(DATA_VERSION)
        rig.start_simulator(["device car version=%d id=ZT000001" % (DATA_VERSION - 1)])
        with open(os.path.join(rig.sim.dir, "standin.txt"), "w") as f:
            f.write("seconds=%d\n" % seconds)
        rig.start_tool(" /autohide")
        time.sleep(0.5)
        rig.tool.sync()
        # The first poll the launch spacing allows starts the program.
        rig.ticks_in_background(45)
        zt_e2e.check(R.wait_until(lambda: rig.tool.exists("updater"), 60), "the data-update program runs")
        answers, _ = ask_window(rig.tool, seconds - 1, (seconds + 5) * 1000)
        rig.tick_job.wait(timeout=seconds + 60)
        zt_e2e.check(answers, "the window was asked")
    finally:
        close_rig(rig)
    return answers


# --- CPU time idle ------------------------------------------------------------------------------------
def unix_cpu_ms():
    """CPU time (user and system) of the Unix process that runs the tool, ended threads included:
    Wine's GetProcessTimes counts only the threads alive now, so its sum can fall."""
    tick = os.sysconf("SC_CLK_TCK")
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if zt_e2e.EXE_NAME.encode() not in f.read().split(b"\0")[0]:
                    continue
            with open("/proc/%s/environ" % pid, "rb") as f:
                if ("WINEPREFIX=" + zt_e2e.prefix()).encode() not in f.read().split(b"\0"):
                    continue
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            found.append((int(fields[11]) + int(fields[12])) * 1000 // tick)
        except OSError:
            pass
    zt_e2e.check(len(found) == 1, "one process of the tool (%d found)" % len(found))
    return found[0]


def idle_cpu(e2e, settle, interval, intervals):
    """Seconds of CPU time per hour in each interval, idle in the tray with no device plugged in."""
    rig = fresh_rig(e2e)
    rates = []
    try:
        rig.install_local(DATA_VERSION)
        rig.start_simulator()
        rig.start_server().publish(DATA_VERSION)
        rig.start_tool(" /autohide")
        time.sleep(settle)  # the start-up: the refresh, its fetch, the first checks
        before, start = unix_cpu_ms(), time.monotonic()
        for _ in range(intervals):
            time.sleep(interval)
            now, at = unix_cpu_ms(), time.monotonic()
            rates.append((now - before) / 1000 * 3600 / (at - start))
            before, start = now, at
    finally:
        close_rig(rig)
    return rates


# --- the table ----------------------------------------------------------------------------------------
def poll_figures(path):
    """From poll_bench's output: (median ms, slowest ms, found, polls) of the answering device."""
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = re.search(r"answering device: (\d+) polls, (\d+) found, median ([\d.]+) ms, slowest ([\d.]+) ms", line)
            if m:
                return float(m.group(3)), float(m.group(4)), int(m.group(2)), int(m.group(1))
    return None


def summary(values, unit_format):
    got = [v for v in values if v is not None]
    if not got:
        return "no figure"
    text = "median %s, worst %s (n=%d)" % (unit_format(statistics.median(got)), unit_format(max(got)), len(got))
    missing = len(values) - len(got)
    return text + (", %d not asked within 10 s" % missing if missing else "")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="the win64 build folder with the rigs")
    parser.add_argument("--source", required=True, help="the source folder")
    parser.add_argument("--exe", action="append", required=True, metavar="LABEL=PATH",
                        help="a ZT_AutoUpdate.exe to measure, with the column label to print it under")
    parser.add_argument("--figures", default="plug,answer,write,cpu", help="which figures (default: all four)")
    parser.add_argument("--plugs", type=int, default=12)
    parser.add_argument("--answer-seconds", type=int, default=60)
    parser.add_argument("--write-seconds", type=int, default=20)
    parser.add_argument("--cpu-settle", type=int, default=20)
    parser.add_argument("--cpu-interval", type=int, default=30)
    parser.add_argument("--cpu-intervals", type=int, default=6)
    parser.add_argument("--quick", action="store_true", help="one short sample of each figure; fail without a number")
    parser.add_argument("--poll-output", action="append", default=[], metavar="[LABEL=]PATH",
                        help="poll_bench.exe's output for the device-poll row of LABEL (default: the last --exe)")
    args = parser.parse_args()
    if args.quick:
        args.plugs, args.answer_seconds, args.write_seconds = 1, 3, 4
        args.cpu_settle, args.cpu_interval, args.cpu_intervals = 2, 3, 1
    figures = set(args.figures.split(","))
    load = lambda: " ".join(open("/proc/loadavg").read().split()[:3])  # noqa: E731

    results = {}
    for item in args.exe:
        label, _, path = item.partition("=")
        if not os.path.isfile(path):
            sys.exit("responsiveness_bench: no exe at %s" % path)
        row = results[label] = {}
        e2e = BenchE2E(args.build, args.source, path)
        with e2e:
            if "plug" in figures:
                row["load_plug"] = load()
                delays = plug_to_request(e2e, args.plugs)
                print("%s: plug to first request, ms: %s (load %s)" % (label, delays, row["load_plug"]), flush=True)
                row["plug"] = summary(delays, lambda v: "%d ms" % v)
            if "answer" in figures:
                row["load_answer"] = load()
                answers, failed = answers_while_stalled(e2e, args.answer_seconds)
                print("%s: window answers, ms: %d answers, slowest ten %s; %d probe run(s) failed (load %s)"
                      % (label, len(answers), sorted(answers)[-10:], failed, row["load_answer"]), flush=True)
                row["answer"] = summary(answers, lambda v: "%d ms" % v)
            if "write" in figures:
                row["load_write"] = load()
                answers = answers_while_writing(e2e, args.write_seconds)
                print("%s: window answers while the device is written, ms: %d answers, slowest ten %s (load %s)"
                      % (label, len(answers), sorted(answers)[-10:], row["load_write"]), flush=True)
                row["write"] = summary(answers, lambda v: "%d ms" % v)
            if "cpu" in figures:
                row["load_cpu"] = load()
                rates = idle_cpu(e2e, args.cpu_settle, args.cpu_interval, args.cpu_intervals)
                print("%s: idle CPU, s per hour in each %d s: %s (load %s)"
                      % (label, args.cpu_interval, ["%.2f" % r for r in rates], row["load_cpu"]), flush=True)
                row["cpu"] = summary(rates, lambda v: "%.2f s/h" % v)

    polls = {}
    for item in args.poll_output:
        label, _, path = item.rpartition("=")
        polls[label or list(results)[-1]] = poll_figures(path)
    for label, poll in polls.items():
        if label in results:
            results[label]["poll"] = "median %.1f ms, slowest %.1f ms, found %d/%d" % poll if poll else "no figures"
    rows = [("plug", "1. plug-in to first request", "median < 300 ms"),
            ("answer", "2. window answer, server stalled 60 s", "worst < 100 ms"),
            ("write", "2b. window answer, device written 20 s", "worst < 100 ms"),
            ("poll", "3. device poll (open, 2 queries, close)", "median < 5 ms"),
            ("cpu", "4. CPU idle in the tray, per hour", "< 1 s/h")]
    print()
    print("%-40s %-16s %s" % ("figure", "goal", "   ".join("%-42s" % label for label in results)))
    for key, name, goal in rows:
        if not any(key in row for row in results.values()):
            continue
        print("%-40s %-16s %s" % (name, goal, "   ".join("%-42s" % results[label].get(key, "-") for label in results)))
        if key != "poll":
            print("%-40s %-16s %s" % ("", "  load (1/5/15 min)", "   ".join(
                "%-42s" % results[label].get("load_" + key, "-") for label in results)))
    if args.quick:
        wanted = [key for key, _, _ in rows if key in figures]
        missing = [(label, key) for label in results for key in wanted if not results[label].get(key, "").startswith("median")]
        zt_e2e.check(not missing, "every figure has a number (missing: %s)" % missing)


if __name__ == "__main__":
    main()
