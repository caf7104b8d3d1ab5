"""The window probe from Python, and what the main-window scenarios need around it: the tool
installed in a folder with blanks, started with an exact command line, its update root, its Run
value, its log and screenshots.

Every Windows program is run with its output in a file, never a pipe (Wine's daemons may inherit
a pipe and keep it open). The scenarios run inside scripts/with-wine (WINEPREFIX and DISPLAY set).
"""
import os
import shutil
import subprocess
import sys

import zt_e2e
from zt_e2e import Failure, check, run_windows  # noqa: F401  (re-exported for the scenarios)

MAIN_CAPTION = "安全驾驶导引系统——自动升级工具 V2.6"
RUN_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
USER_RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
# Where the tool keeps the value: the machine-wide key in the 32-bit view, or the user's key.
RUN_PLACES = {"machine": [RUN_KEY, "/reg:32"], "user": [USER_RUN_KEY]}
RUN_VALUE = "ZT_AutoUpdate"
# Messages and ids the scenarios post.
WM_CLOSE = 0x0010
WM_COMMAND = 0x0111
WM_SYSCOMMAND = 0x0112
WM_KEYDOWN = 0x0100
WM_TIMER = 0x0113
WM_LBUTTONUP = 0x0202
WM_RBUTTONUP = 0x0205
SC_MINIMIZE = 0xF020
SC_CLOSE = 0xF060


def wait_until(fn, timeout, step=0.2):
    return zt_e2e.wait_for(fn, timeout, step)


# The probe's commands that only look (a window, a control, a box, a figure) and change nothing.
QUERIES = {"find", "visible", "rect", "client", "text", "checked", "enabled", "shown", "progress", "wait", "gone",
           "box", "texts", "cpu", "memory"}


class Tool:
    """One installed copy of the tool (in a folder with blanks) and the probe that drives it."""

    def __init__(self, e2e, folder=zt_e2e.INSTALL_FOLDER):
        self.e2e = e2e
        self.args = e2e.args
        self.probe_exe = os.path.join(e2e.build, "tests", "support", "probe.exe")
        self.shots = os.path.join(e2e.build, "screenshots")
        self.drive_c = os.path.join(zt_e2e.prefix(), "drive_c")
        self.win_exe = e2e.install(folder)
        self.pid = None

    # --- the probe ---------------------------------------------------------------------------
    def probe(self, *args, timeout=90):
        command = [self.probe_exe] + [str(a) for a in args]
        rc, lines, err = zt_e2e.run_windows_full(command, timeout=timeout)
        # Every command but "list" prints a line: none means the probe process itself failed, a
        # fault of the rig or of Wine that no check may read as an answer of the tool. Under load
        # Wine now and then ends a program it has just started (status 1, nothing printed); a query,
        # which changes nothing, is asked once more, and the suite's summary counts each such loss.
        if not lines and args[0] in QUERIES:
            zt_e2e.note_wine_lost("probe %s printed nothing (status %d)" % (" ".join(command[1:]), rc))
            rc, lines, err = zt_e2e.run_windows_full(command, timeout=timeout)
        if not lines and args[0] != "list":
            raise Failure("probe %s printed nothing (status %d, stderr: %s)\n%s"
                          % (" ".join(str(a) for a in args), rc, err or "-", zt_e2e.wine_processes()))
        return rc, lines

    def out(self, *args):
        rc, lines = self.probe(*args)
        return lines[0] if lines else ""

    def visible(self, win="main"):
        return self.out("visible", win) == "1"

    def exists(self, win="main"):
        rc, _ = self.probe("find", win)
        return rc == 0

    def text(self, control):
        return self.out("text", control).replace("\\r", "\r").replace("\\n", "\n")

    def post(self, msg, wparam=0, lparam=0):
        """Posts msg to the main window; returns when it was posted (milliseconds since 1970)."""
        rc, lines = self.probe("post", msg, wparam, lparam)
        check(rc == 0 and lines and lines[0].startswith("posted at="), "posted %s" % msg)
        return int(lines[0].split("=", 1)[1])

    def cpu_ms(self):
        """CPU time (kernel and user) the tool's process has used so far, in milliseconds."""
        rc, lines = self.probe("cpu")
        check(rc == 0 and lines and lines[0].startswith("ms="), "CPU time read (%s)" % lines)
        return int(lines[0][3:])

    def sync(self):
        """Waits until the window has handled everything posted to it so far."""
        check(self.send(0) is not None, "the window answers")

    def send(self, msg, wparam=0, lparam=0, timeout_ms=10000):
        """Returns the milliseconds the window took to answer, or None when it did not."""
        answer = self.send_result(msg, wparam, lparam, timeout_ms)
        return answer[1] if answer else None

    def send_result(self, msg, wparam=0, lparam=0, timeout_ms=10000):
        """(the window's answer, the milliseconds it took), or None when it did not answer."""
        rc, lines = self.probe("send", msg, wparam, lparam, timeout_ms)
        if rc != 0 or not lines or not lines[0].startswith("result="):
            return None
        result, ms = lines[0].split()
        return int(result.split("=")[1]), int(ms.split("=")[1])

    # --- the process -------------------------------------------------------------------------
    def start(self, arguments="", quoted=True, env=None, wait_window=True):
        command = ('"%s"' % self.win_exe if quoted else self.win_exe) + arguments
        environment = dict(zt_e2e.NO_SERVER)
        environment.update(env or {})
        report = self.e2e.start(command, env=environment)
        self.pid = report.get("pid")
        check(self.pid is not None, "started %s (%s)" % (command, report))
        if wait_window:
            check(wait_until(lambda: self.exists(), 30), "main window exists")
        return self.pid

    def running(self):
        return self.pid is not None and self.e2e.running(self.pid)

    def wait_ended(self, timeout=15):
        return wait_until(lambda: not self.running(), timeout)

    def stop(self):
        if self.pid is not None and self.running():
            self.e2e.kill(self.pid)
        self.pid = None
        # A message box or menu of a killed tool goes with its process.
        wait_until(lambda: not self.exists(), 10)

    # --- files, registry, log ----------------------------------------------------------------
    def update_root(self):
        return zt_e2e.to_unix(zt_e2e.UPDATE_ROOT)

    def clean_update_root(self):
        self.e2e.clean_update_root()

    def install_local_files(self, data_program=True, descriptor=None):
        os.makedirs(self.update_root(), exist_ok=True)
        if data_program:
            shutil.copy(self.probe_exe, os.path.join(self.update_root(), "data_update.exe"))
        if descriptor is not None:
            with open(os.path.join(self.update_root(), "version.txt"), "wb") as f:
                f.write(descriptor)

    def log(self):
        return self.e2e.read_log()

    def run_value(self, where="machine"):
        key, *view = RUN_PLACES[where]
        rc, lines = run_windows(["reg", "query", key, "/v", RUN_VALUE] + view)
        for line in lines:
            if RUN_VALUE in line and "REG_SZ" in line:
                return line.split("REG_SZ", 1)[1].strip()
        return None

    def set_run_value(self, data, where="machine"):
        """Writes the value in one place (as `reg add ... /reg:32` would), or with None removes it
        from every place."""
        if data is None:
            for key, *view in RUN_PLACES.values():
                run_windows(["reg", "delete", key, "/v", RUN_VALUE, "/f"] + view)
        else:
            key, *view = RUN_PLACES[where]
            run_windows(["reg", "add", key, "/v", RUN_VALUE, "/t", "REG_SZ", "/d", data, "/f"] + view)

    def tray_shown(self):
        """Wine's stand-alone tray window is shown while it holds at least one icon."""
        return self.visible("Wine System Tray")

    # --- screenshots -------------------------------------------------------------------------
    def screenshot(self, win, name):
        # The client area: under Xvfb no window manager draws the frame and caption.
        rc, lines = self.probe("client", win)
        check(rc == 0 and lines, "%s window has a rectangle" % win)
        x, y, w, h = (int(v) for v in lines[0].split())
        os.makedirs(self.shots, exist_ok=True)
        path = os.path.join(self.shots, name)
        subprocess.check_call(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage", path],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        check(os.path.getsize(path) > 1000, "screenshot %s saved" % path)
        return path


def scenario(fn):
    """Runs one scenario function with a fresh tool; prints PASS/FAIL and exits accordingly."""
    e2e = zt_e2e.E2E.from_args()
    with e2e:
        tool = Tool(e2e)
        # A copy left running by an earlier scenario would hold the single-instance mutex and its
        # window would answer for ours.
        check(not tool.exists(), "no other copy of the tool is running")
        tool.clean_update_root()
        tool.set_run_value(None)
        try:
            fn(tool)
        except Exception as e:  # a failed check or a broken rig: both fail the scenario
            print("FAIL:", e)
            print("log:\n" + tool.log())
            tool.stop()
            sys.exit(1)
        tool.stop()
        tool.clean_update_root()
        tool.set_run_value(None)
    print("PASS")
