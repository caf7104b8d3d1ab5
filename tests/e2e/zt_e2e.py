"""Shared harness of the end-to-end scenarios: the real ZT_AutoUpdate.exe under Wine, black-box.

A scenario module imports this one, builds an `E2E` from its command line and uses it:

    import zt_e2e
    e2e = zt_e2e.E2E.from_args()          # --build DIR --source DIR (and the scenario's own options)
    with e2e:                             # kills what the scenario started, whatever happens
        exe = e2e.install()               # C:\\Program Files\\ZT AutoUpdate\\ZT_AutoUpdate.exe
        e2e.clean_update_root()
        first = e2e.start('"%s"' % exe, env={"ZT_UPDATE_SERVER": "127.0.0.1:9"})
        zt_e2e.check(e2e.wait_for(lambda: "start" in e2e.read_log(), 20), "first instance started")

Rules it keeps for everyone: the scenarios run inside scripts/with-wine (WINEPREFIX and DISPLAY
set); every Windows program's output goes to a file, never a pipe (Wine's daemons inherit pipes
and keep them open); programs are started through launch.exe so the command line is exact;
a process is checked and ended by its id and start time, never by `wineserver -k`.
"""
import argparse
import getpass
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import ztpublish  # noqa: E402  (the publishing tool's own code signs what the scenarios serve)

INSTALL_FOLDER = r"C:\Program Files\ZT AutoUpdate"
EXE_NAME = "ZT_AutoUpdate.exe"
UPDATE_ROOT = "C:\\ZT_Update"
# This user's own folder of the tool (%LOCALAPPDATA%\ZT_AutoUpdate): the log, the history, the
# descriptor and a new executable as fetched, the checked copy of the data-update program. Wine
# names the profile after the Unix user.
OWN_FOLDER = "C:\\users\\%s\\AppData\\Local\\ZT_AutoUpdate" % getpass.getuser()
# The self-update's record of how far a hand-over got.
REPLACING_RECORD = OWN_FOLDER + "\\replacing.txt"
LOG_FILE = OWN_FOLDER + "\\autoupdate.log"
HISTORY_FILE = OWN_FOLDER + "\\history.txt"
# What the tool keeps for the user: sequence floors, failed versions, the rollout bucket.
USER_STATE_KEY = r"HKCU\Software\ZT_AutoUpdate"
# A server that refuses at once: scenarios that do not test downloads point the tool here.
NO_SERVER = {"ZT_UPDATE_SERVER": "127.0.0.1:9"}


# The private key that matches the key built into the tool under test (a key made for the test run);
# without one the build has no key and nothing is signed.
SIGNING_KEY = os.environ.get("ZT_TEST_SIGNING_KEY") or None
# The second key the build under test trusts, listed after the first (a rotation).
SECOND_SIGNING_KEY = os.environ.get("ZT_TEST_SECOND_SIGNING_KEY") or None


class Failure(AssertionError):
    pass


def descriptor(data_version, data_file, data_length, data_bytes=None, updater_version="2.7",
               updater_file="ZT_AutoUpdate_new.exe", updater_length=1000, updater_bytes=None,
               data_time="2026-12-01", data_desc="华南地区", seq=1, sign=True, key=None, rollout=None):
    """A descriptor as the publishing tool writes it: GBK, CR LF, the hashes of the bytes given, both
    rollout shares `rollout` when given, and signed with the test key when the build has one (and
    `sign` is not False), or with the private key `key`."""
    updater_sha256 = hashlib.sha256(updater_bytes).hexdigest() if updater_bytes is not None else None
    # The tool under test is the x64 build: it reads the executable's "_x64" keys. The plain keys
    # name the same file, as the earlier tools of the fleet need some entry there.
    text = ztpublish.descriptor_text(
        str(data_version), data_time, data_desc, data_file, data_length, updater_version, updater_file, updater_length,
        data_sha256=hashlib.sha256(data_bytes).hexdigest() if data_bytes is not None else None,
        updater_sha256=updater_sha256, seq=seq, data_rollout=rollout, updater_rollout=rollout,
        updater_x64=ztpublish.Entry(updater_version, updater_file, updater_length, updater_sha256, rollout))
    signing = key or SIGNING_KEY
    return ztpublish.sign(text, signing) if signing and sign else text


def check(condition, what):
    """Fails the scenario with `what` unless `condition`; prints each passed check."""
    if not condition:
        raise Failure(what)
    print("ok:", what, flush=True)


def wait_for(condition, timeout, step=0.2):
    """Polls `condition` until it is true or `timeout` seconds have passed; returns its last value."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= end:
            return value
        time.sleep(step)


def prefix():
    """The Wine prefix of this run (scripts/with-wine sets WINEPREFIX)."""
    p = os.environ.get("WINEPREFIX")
    if not p:
        raise Failure("WINEPREFIX is not set: run the scenario inside scripts/with-wine")
    return p


def to_unix(win_path):
    """C:\\a\\b -> $WINEPREFIX/drive_c/a/b; Z:\\x -> /x."""
    drive, rest = win_path[0].lower(), win_path[2:].replace("\\", "/").lstrip("/")
    if drive == "c":
        return os.path.join(prefix(), "drive_c", rest)
    if drive == "z":
        return "/" + rest
    raise ValueError("no Unix path for " + win_path)


def to_windows(unix_path):
    """A Unix path as Windows sees it: under drive_c it is C:, anything else Z:."""
    full = os.path.abspath(unix_path)
    drive_c = os.path.join(os.path.abspath(prefix()), "drive_c")
    if full == drive_c or full.startswith(drive_c + os.sep):
        return "C:\\" + os.path.relpath(full, drive_c).replace("/", "\\").lstrip(".")
    return "Z:" + full.replace("/", "\\")


def wine_processes():
    """This prefix's Wine processes, the wineserver included, as ps shows them: what a failure report needs."""
    pids = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if ("WINEPREFIX=" + prefix()).encode() in f.read().split(b"\0"):
                    pids.append(pid)
        except OSError:
            pass
    if not pids:
        return "(no process of %s)" % prefix()
    return subprocess.run(["ps", "-o", "pid,ppid,stat,etime,args", "-p", ",".join(pids)], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True).stdout.rstrip()


def note_wine_lost(what):
    """Says that Wine lost a run of a rig program (printed, and added to $ZT_WINE_LOST_LOG when the
    suite set it, so that its summary shows how often it happened)."""
    line = "rig: Wine lost a run: %s; asked once more" % what
    print(line, flush=True)
    log = os.environ.get("ZT_WINE_LOST_LOG")
    if log:
        with open(log, "a", encoding="utf-8") as f:
            f.write("%s (%s)\n" % (line, os.path.basename(sys.argv[0])))


def run_windows_full(args, timeout=60, env=None):
    """Runs a Windows program under wine and waits; returns (status, stdout lines as UTF-8, stderr text)."""
    full_env = dict(os.environ)
    full_env.setdefault("WINEDEBUG", "-all")
    full_env.update(env or {})
    # Files, not pipes, for both streams (see the top of this module).
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        rc = subprocess.call(["wine"] + [str(a) for a in args], stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                             timeout=timeout, env=full_env)
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
        err.seek(0)
        err_text = err.read().decode("utf-8", "replace").strip()
    # Wine's own complaints (a loader or server failure) and statuses no program here gives are
    # printed with the prefix's processes, so that a failed run says why.
    if rc not in (0, 1, 2) or any(mark in err_text for mark in ("wine", "XIO", "X Error")):
        print("wine %s: status %d; stderr: %s\n%s" % (" ".join(str(a) for a in args), rc, err_text[-2000:] or "-",
                                                     wine_processes()), flush=True)
    return rc, [line.rstrip("\r") for line in text.splitlines()], err_text


def run_windows(args, timeout=60, env=None):
    """Runs a Windows program under wine and waits; returns (exit code, output lines as UTF-8)."""
    rc, lines, _ = run_windows_full(args, timeout, env)
    return rc, lines


def read_text(win_path):
    """A UTF-8 file of the prefix as text ("" when there is none)."""
    try:
        with open(to_unix(win_path), encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def clean_user_state():
    """Removes what the tool keeps for the user (floors, failed versions, rollout bucket)."""
    run_windows(["reg", "delete", USER_STATE_KEY, "/f"])


class E2E:
    """One scenario's view of the build, the prefix and the processes it started."""

    def __init__(self, build, source):
        self.build = os.path.abspath(build)
        self.source = os.path.abspath(source) if source else None
        self.launch_exe = os.path.join(self.build, "tests", "support", "launch.exe")
        self.pids = []  # Windows process ids started by this scenario
        self.started = {}  # their start times, which tell them from a later process given the same id

    @classmethod
    def from_args(cls, parser=None):
        """Reads --build and --source (and whatever else `parser` declares); returns (E2E, args)."""
        parser = parser or argparse.ArgumentParser()
        parser.add_argument("--build", required=True, help="the win64 build folder")
        parser.add_argument("--source", default=None, help="the source folder")
        args = parser.parse_args()
        e2e = cls(args.build, args.source)
        e2e.args = args
        return e2e

    def __enter__(self):
        # The user's state outlives a scenario in the prefix: each starts without it, whichever
        # scenario ran there before.
        clean_user_state()
        return self

    def __exit__(self, *exc):
        self.kill_all()
        return False

    # --- installation and files ----------------------------------------------------------------
    def install(self, folder=INSTALL_FOLDER):
        """Copies the built exe into `folder` (a path with blanks by default); returns its Windows path."""
        target = to_unix(folder)
        os.makedirs(target, exist_ok=True)
        shutil.copy(os.path.join(self.build, EXE_NAME), os.path.join(target, EXE_NAME))
        return folder + "\\" + EXE_NAME

    def clean_update_root(self):
        """Removes C:\\ZT_Update and this user's own folder of the tool, with everything in them
        (call between scenarios); a link left in their place by a scenario goes as a link."""
        for folder in (UPDATE_ROOT, OWN_FOLDER):
            path = to_unix(folder)
            if os.path.islink(path):
                os.remove(path)
            shutil.rmtree(path, ignore_errors=True)

    def read_log(self):
        """The tool's log (in this user's own folder) as text ("" when there is none)."""
        return read_text(LOG_FILE)

    def history(self):
        """The lines of the tool's history.txt, oldest first, each split at its tabs."""
        return [line.split("\t") for line in read_text(HISTORY_FILE).splitlines() if line]

    # --- processes -----------------------------------------------------------------------------
    def _launch(self, options, timeout):
        with tempfile.TemporaryDirectory() as tmp:
            report_file = os.path.join(tmp, "report.txt")
            rc, _, err = run_windows_full([self.launch_exe] + options + ["--out", to_windows(report_file)],
                                          timeout=timeout)
            report = {}
            if os.path.exists(report_file):
                with open(report_file, encoding="utf-8") as f:
                    for line in f.read().splitlines():
                        key, _, value = line.partition("=")
                        report[key] = value
            if rc != 0 and "error" not in report:
                # 1 is no status of launch.exe's own: it was ended from outside, or its wineserver was.
                report["error"] = "launch.exe ended with %d and no report%s (stderr: %s)" % (
                    rc, " (ended from outside)" if rc == 1 else "", err or "-")
                print("launch.exe %s: %s\n%s" % (" ".join(options), report["error"], wine_processes()), flush=True)
        return report

    def start(self, command_line, env=None, wait_ms=0, app=None, cwd=None):
        """Starts a program with exactly `command_line` (and extra `env`); waits up to `wait_ms`.

        Returns launch.exe's report: {"pid": "123", "exit": "0"} when it ended within the wait,
        {"pid": "123", "running": ""} when it still runs, {"error": "..."} when it did not start.
        """
        with tempfile.TemporaryDirectory() as tmp:
            cmd_file = os.path.join(tmp, "cmd.txt")
            with open(cmd_file, "wb") as f:
                f.write(command_line.encode("utf-8"))
            options = ["--cmd-file", to_windows(cmd_file), "--wait", str(int(wait_ms))]
            for key, value in (env or {}).items():
                options += ["--env", "%s=%s" % (key, value)]
            if app:
                options += ["--app", app]
            if cwd:
                options += ["--cwd", cwd]
            report = self._launch(options, timeout=60 + wait_ms / 1000)
        if "pid" in report:
            self.pids.append(report["pid"])
            self.started[report["pid"]] = report.get("started", "0")
        return report

    def _process(self, pid):
        """launch.exe's options that name process `pid`: its id and, when known, its start time."""
        return [str(pid), "--started", self.started.get(str(pid), "0")]

    def running(self, pid):
        """True while the process `pid` started earlier still runs."""
        return "running" in self._launch(["--check"] + self._process(pid), timeout=60)

    def exit_code(self, pid, wait_ms=0):
        """The exit status of `pid` once it has ended (None while it runs or when it is gone)."""
        report = self._launch(["--check"] + self._process(pid) + ["--wait", str(int(wait_ms))],
                              timeout=60 + wait_ms / 1000)
        return int(report["exit"]) if "exit" in report else None

    def kill(self, pid):
        """Ends `pid`; True when it is no longer running."""
        report = self._launch(["--kill"] + self._process(pid), timeout=60)
        return "running" not in report and "error" not in report

    def kill_all(self):
        """Ends everything this scenario started; a process that will not end fails the scenario.

        Never `wineserver -k`: it ends every process of the prefix with status 1, and the server the
        next program starts quits whenever no program runs, under the scenarios that follow.
        """
        stubborn = [pid for pid in self.pids if self.running(pid) and not self.kill(pid)]
        self.pids = []
        if stubborn:
            raise Failure("processes %s did not end\n%s" % (stubborn, wine_processes()))
