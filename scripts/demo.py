"""The typical event, end to end, under Wine: a fresh machine gets the data package from the
loopback update server, a device holding older data is plugged in, the tool reports it, runs the
data-update program (the stand-in, data version 2002) which brings the device to 2002, and after
the forget period reports the device up to date. Narrates from the tool's log as it happens and
leaves screenshots and the log in the output folder. Runs inside scripts/demo's Wine prefix.
"""
import argparse
import os
import shutil
import subprocess
import sys
import threading
import time

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))

import watch_rig as R  # noqa: E402
import zt_e2e  # noqa: E402
from probe import WM_SYSCOMMAND  # noqa: E402
from watch_rig import check  # noqa: E402
from zt_ids import IDT_FORGET_DEVICE, kSysCommandShow  # noqa: E402

# What each kind of log line means for someone watching.
NARRATION = [
    ("start", "", "The tool has started."),
    ("window", "", "Its main window is up."),
    ("descriptor", "refused", "The server's version.txt was refused (it is not what the vendor signed)."),
    ("data", "verified", "The data package (data version 2002) was downloaded; its signature and hash were "
                         "verified, and it was installed."),
    ("device", "waiting for the launch spacing", "The device is seen; its data is older, but the tool "
                                                 "waits until tick 42 before it starts anything."),
    ("device", "data update started", "The device is reported older: the data update is started."),
    ("balloon", "", "Tray balloon:"),
    ("updater-launch", "started", "The data-update program runs; the tool hides and waits for it."),
    ("updater-launch", "ended with status", "The data-update program has ended; the tool reads the device back."),
    ("updater-launch", "ended;", "The device was read back: the write is judged."),
    ("history", "", "Kept in the history (升级记录):"),
    ("device", "already reported", "The device now holds the new data; it was reported already, so "
                                   "the tool stays quiet until the forget period is over."),
    ("device", "up to date", "After the forget period the device is reported up to date."),
]


class Narrator(threading.Thread):
    """Prints each new log line with what it means, as the tool writes it."""

    def __init__(self, rig):
        super().__init__(daemon=True)
        self.rig = rig
        self.seen = 0
        self.stopping = threading.Event()
        self.lock = threading.Lock()

    def run(self):
        while not self.stopping.is_set():
            self.flush()
            time.sleep(0.3)

    def flush(self):
        with self.lock:
            entries = self.rig.entries()
            for e in entries[self.seen:]:
                meaning = next((m for ev, text, m in NARRATION if ev == e.event and text in e.details), None)
                if meaning:
                    print("  * %s" % meaning, flush=True)
                print("      log: %s %s" % (e.event, e.details), flush=True)
            self.seen = len(entries)

    def stop(self):
        self.stopping.set()
        self.join()
        self.flush()


NARRATOR = None


def say(text):
    if NARRATOR:  # what the log says so far comes first
        NARRATOR.flush()
    print("== " + text, flush=True)


def shot(rig, out, win, name):
    if out is None:  # the scenario plays the event without pictures
        return
    try:
        path = rig.tool.screenshot(win, name)
        say("screenshot " + os.path.relpath(path, out))
    except Exception as e:  # a missing screenshot does not stop the demo
        say("no screenshot of %s: %s" % (win, e))


def whole_screen(out, name):
    if out is None:
        return
    path = os.path.join(out, name)
    subprocess.call(["import", "-window", "root", path], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL)
    if os.path.exists(path):
        say("screenshot " + name)


def typical_event(rig, out=None):
    """The typical event, checked at every step; screenshots into `out` when given. scripts/demo
    and the suite's scenario e2e_watch_typical both play it, so neither can drift from the rigs."""
    global NARRATOR
    say("loopback update server with the sample package (the stand-in data-update program as data version 2002)")
    server = rig.start_server()
    server.publish(2002)
    say("server on 127.0.0.1:%d" % server.port)
    say("simulated device holding data version 2001 (identity ZT000001)")
    rig.start_simulator(["device demo version=2001 id=ZT000001"])
    say("starting ZT_AutoUpdate on a machine without any local files")
    rig.tool.set_run_value(None)
    rig.tool.start("", env={"ZT_UPDATE_SERVER": "127.0.0.1:%d" % server.port, "ZT_SIM_DIR": R.SIM_DIR_WIN})
    narrator = NARRATOR = Narrator(rig)
    narrator.start()
    try:
        # A visible start asks once whether to run at log-on; the demo answers No.
        if R.wait_until(lambda: rig.tool.probe("box")[0] == 0, 10):
            whole_screen(out, "1-auto-start-question.png")
            rig.tool.probe("box-answer", "no")
            say("answered No to the auto-start question")
        rig.wait_for("data", "installed", timeout=90)
        # Polls before tick 42 see the device and hold back (logged once, with its tick).
        _, early = rig.wait_for("device", "waiting for the launch spacing", timeout=30)
        check(early.tick is not None and early.tick <= 41, "held back at tick %s" % early.tick)
        shot(rig, out, "main", "2-main-window-package-installed.png")

        say("sending timer ticks to reach the first poll allowed to start the data update (tick 42)")
        rig.ticks_in_background(45)
        check(R.wait_until(lambda: rig.tool.exists("updater"), 60), "the data-update program runs")
        check(not rig.tool.visible(), "main window hidden while it runs")
        # The stand-in's window is blank, and no window manager draws frames: the whole screen.
        whole_screen(out, "3-screen-while-the-data-update-program-runs.png")
        _, older = rig.wait_for("device", "older, data update started")
        rig.check_first_allowed_report(older)
        rig.wait_for("balloon", R.BALLOON_OLDER)
        rig.wait_for("updater-launch", "ended;", timeout=120)
        rig.wait_for("balloon", "设备数据已更新为最新版2002")
        check(rig.tick_job.wait(timeout=120) == 0, "ticks delivered")
        check(len(rig.find("device", "data update started")) == 1, "reported older once")

        # The device now holds 2002; remembered, so nothing is said about it.
        mark = rig.mark()
        rig.ticks(3)
        _, same = rig.wait_for("device", "data version 2002", timeout=30)
        check(same.details.split(": ")[-1].startswith("already reported"), "same device not reported again: %s" % same)
        check(not [e for _, e in rig.find("device", "", after=mark) if "already reported" not in e.details],
              "no report before the forget timer")

        say("the forget period (5 minutes) is shortened: sending the forget timer's message")
        rig.ticks(1, timer=IDT_FORGET_DEVICE)
        mark = rig.mark()
        rig.ticks(3)
        rig.wait_for("balloon", R.BALLOON_UP_TO_DATE + "2002", timeout=30, after=mark)
        _, up = rig.wait_for("device", "up to date", after=mark)
        check("id \"ZT000001\"" in up.details, "reported device is the one plugged in: %s" % up)
        if out is not None:
            rig.tool.post(WM_SYSCOMMAND, kSysCommandShow)  # show the main window again, as the tray menu would
            time.sleep(1)
            shot(rig, out, "main", "4-main-window-up-to-date.png")
    finally:
        narrator.stop()
        NARRATOR = None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--source", default=SOURCE)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    e2e = zt_e2e.E2E(args.build, args.source)
    e2e.args = args
    ok = False
    with e2e:
        rig = R.Rig(e2e)
        rig.tool.shots = out
        rig.tool.clean_update_root()
        try:
            typical_event(rig, out)
            ok = True
        except Exception as e:
            say("the demo stopped: %r" % (e,))
        finally:
            with open(os.path.join(out, "autoupdate.log"), "w", encoding="utf-8") as f:
                f.write(rig.tool.log())
            with open(os.path.join(out, "history.txt"), "w", encoding="utf-8") as f:
                f.write(zt_e2e.read_text(zt_e2e.HISTORY_FILE))
            rig.close()
    say("typical event %s; log and screenshots in %s" % ("completed" if ok else "NOT completed", out))
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
