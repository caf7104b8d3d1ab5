"""What the device-watch scenarios need around the window probe: the tool installed with the
stand-in device DLLs beside it, the device simulator, a private loopback update server with a
sample package, and the tool's log read as (event, details, tick) records.

Runs inside scripts/with-wine (WINEPREFIX and DISPLAY set). Windows programs write to files,
never to pipes (Wine's daemons may inherit a pipe and keep it open).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import probe as P
import simdev
import zt_e2e
from probe import check, wait_until  # noqa: F401  (re-exported for the scenarios)
from zt_ids import IDT_WATCH

SIM_DIR_WIN = simdev.SIM_DIR_WIN
# install_standins makes only the tool load the stand-in DLLs (a per-program override); removed again at the end.
OVERRIDES_KEY = "HKCU\\Software\\Wine\\AppDefaults\\ZT_AutoUpdate.exe\\DllOverrides"
WM_TIMER = 0x0113
BALLOON_UP_TO_DATE = "当前连接的产品数据已经是最新版"
BALLOON_OLDER = "当前连接的产品数据版本较旧。"
BALLOON_MAJOR = "由于当前连接的产品数据版本为"
LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\d (\d\d):(\d\d):(\d\d) (\S+) ?(.*)$")
TICK = re.compile(r"\(tick (\d+)\)$")


class Entry:
    def __init__(self, seconds, event, details):
        self.seconds = seconds
        self.event = event
        self.details = details
        m = TICK.search(details)
        self.tick = int(m.group(1)) if m else None

    def __repr__(self):
        return "%s %s" % (self.event, self.details)


class Server:
    """A private loopback update server; its root holds version.txt and data_update.exe."""

    def __init__(self, rig):
        self.rig = rig
        self.state = os.path.join(rig.work, "server")
        self.root = os.path.join(self.state, "root")
        os.makedirs(self.root, exist_ok=True)
        out = subprocess.run([sys.executable, rig.args.server, "start", "--state", self.state], check=True,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.port = int(out.stdout.decode().split()[0])

    def publish(self, data_version, program=None, **updater):
        """Serves the stand-in data-update program as data version data_version (and the updater
        keys given, e.g. updater_file)."""
        program = program or os.path.join(self.rig.args.simdev, "data_update_standin.exe")
        shutil.copy(program, os.path.join(self.root, "data_update.exe"))
        self.rig.write_bytes(os.path.join(self.root, "version.txt"), descriptor(data_version, read(program), **updater))

    def fault(self, name, fault_json):
        subprocess.run([sys.executable, self.rig.args.server, "fault", "--state", self.state, name, fault_json],
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def requests(self):
        import json
        try:
            with open(os.path.join(self.state, "requests.log")) as f:
                return [json.loads(line) for line in f if line.strip()]
        except OSError:
            return []

    def stop(self):
        subprocess.run([sys.executable, self.rig.args.server, "stop", "--state", self.state],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def descriptor(data_version, program, **updater):
    """The descriptor of the stand-in data-update program as data version data_version."""
    return zt_e2e.descriptor(data_version, "data_update.exe", len(program), data_bytes=program, data_desc="sample",
                             **updater)


class Rig:
    def __init__(self, e2e):
        self.e2e = e2e
        # simdev: hid.dll, setupapi.dll, the simulator and the stand-in data-update program.
        self.args = argparse.Namespace(simdev=os.path.join(e2e.build, "simdev"),
                                       server=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                                           "support", "update_server.py"))
        self.args.probe = os.path.join(e2e.build, "tests", "support", "probe.exe")
        self.work = tempfile.mkdtemp(prefix="zt_watch_")
        self.tool = P.Tool(e2e)
        simdev.install_standins(e2e.build, zt_e2e.to_unix(self.tool.win_exe))
        self.sim = None
        self.server = None
        self.tick_job = None

    # --- set-up ------------------------------------------------------------------------------
    def write_bytes(self, path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def install_local(self, data_version):
        """The installed package: the stand-in as data_update.exe and a local descriptor, or no
        descriptor at all when data_version is None."""
        root = self.tool.update_root()
        os.makedirs(root, exist_ok=True)
        program = os.path.join(self.args.simdev, "data_update_standin.exe")
        shutil.copy(program, os.path.join(root, "data_update.exe"))
        if data_version is not None:
            self.write_bytes(os.path.join(root, "version.txt"), descriptor(data_version, read(program)))

    def start_simulator(self, lines=()):
        self.sim = simdev.Simulator(self.e2e.build, log_path=os.path.join(self.work, "simulator.out"))
        self.sim.start()
        if lines:
            self.sim.plug(list(lines))
        return self.sim

    def start_server(self):
        self.server = Server(self)
        return self.server

    def start_tool(self, arguments=""):
        port = self.server.port if self.server else 9
        env = {"ZT_UPDATE_SERVER": "127.0.0.1:%d" % port, "ZT_SIM_DIR": SIM_DIR_WIN}
        if not arguments:
            # Registered already, so a visible start asks no auto-start question.
            self.tool.set_run_value('"%s" /autohide' % self.tool.win_exe)
        return self.tool.start(arguments, env=env)

    # --- driving -----------------------------------------------------------------------------
    def ticks(self, count, timer=IDT_WATCH):
        rc, lines = self.tool.probe("tick", timer, count, timeout=600)
        check(rc == 0, "%d tick(s) of timer %d sent (%s)" % (count, timer, lines))

    def ticks_in_background(self, count):
        """Sends ticks from a probe that runs on while the scenario looks at the windows."""
        out = open(os.path.join(self.work, "ticks.out"), "wb")
        env = dict(os.environ, WINEDEBUG="-all")
        self.tick_job = subprocess.Popen(["wine", self.args.probe, "tick", str(IDT_WATCH), str(count)],
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL, env=env)
        return self.tick_job

    def tick_count(self):
        """The tool's tick as far as its log shows it (the last device line); None when unknown."""
        ticks = [e.tick for e in self.entries() if e.tick is not None]
        return ticks[-1] if ticks else None

    # --- the log -----------------------------------------------------------------------------
    def entries(self):
        out = []
        for line in self.tool.log().splitlines():
            m = LOG_LINE.match(line)
            if m:
                seconds = int(m.group(1)) * 3600 + int(m.group(2)) * 60 + int(m.group(3))
                out.append(Entry(seconds, m.group(4), m.group(5)))
        return out

    def find(self, event, text, after=0):
        """Entries (from index after on) of event whose details contain text, with their index."""
        return [(i, e) for i, e in enumerate(self.entries()) if i >= after and e.event == event and text in e.details]

    def wait_for(self, event, text, timeout=60, after=0):
        found = wait_until(lambda: self.find(event, text, after), timeout)
        check(bool(found), "log shows %s \"%s\"" % (event, text))
        return found[0]

    def check_first_allowed_report(self, report):
        """An older or major-update report comes at the first poll the launch spacing allows: tick 42.
        On a loaded machine the simulated device may miss the 100 ms bound at that poll; an empty poll
        logs nothing, so a later poll tick is right only when no poll from 42 on saw the device."""
        check(report.tick is not None and report.tick >= 42 and report.tick % 3 == 0,
              "reported at a poll tick from 42 on (got %s)" % report.tick)
        seen = [e for _, e in self.find("device", "") if e.tick is not None and 42 <= e.tick < report.tick]
        check(not seen, "no poll from tick 42 to the report saw the device: %s" % seen)

    def mark(self):
        """Index of the next log entry, to look only at what follows."""
        return len(self.entries())

    # --- tear-down ---------------------------------------------------------------------------
    def close(self):
        if self.tick_job is not None and self.tick_job.poll() is None:
            self.tick_job.kill()
            self.tick_job.wait()
        self.tool.stop()
        if self.sim:
            self.sim.stop()
        if self.server:
            self.server.stop()
        P.run_windows(["reg", "delete", OVERRIDES_KEY, "/f"])
        self.tool.set_run_value(None)
        shutil.rmtree(self.work, ignore_errors=True)


def scenario(fn):
    """Runs one scenario with a fresh rig; prints PASS or FAIL with the tool's log."""
    e2e = zt_e2e.E2E.from_args()
    ok = False
    with e2e:
        rig = Rig(e2e)
        rig.tool.clean_update_root()
        rig.tool.set_run_value(None)
        try:
            fn(rig)
            ok = True
        except Exception as e:  # a failed check or a broken rig: both fail the scenario
            print("FAIL:", repr(e))
            print("log:\n" + rig.tool.log())
        finally:
            rig.close()
            rig.tool.clean_update_root()
    print("PASS" if ok else "FAIL")
    sys.exit(0 if ok else 1)
