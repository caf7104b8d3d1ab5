"""What the installer scenarios share: the per-user paths as Windows names them, the silent install
and the quiet uninstall, registry values read exactly (`reg export`: `reg query` prints Chinese as
"?"). Runs inside scripts/with-wine; `with InstallRig.from_args() as rig:` starts and ends clean."""
import argparse
import os
import re
import sys
import tempfile
import time

import zt_e2e
from zt_e2e import check, run_windows, wait_for

RUN_KEY = r"Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZT_AutoUpdate"


def read_key(key, view=None):
    """{value name: (type, data)} of `key`, {} when it does not exist; view 32: the 32-bit view."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "key.reg")
        run_windows(["reg", "export", key, zt_e2e.to_windows(path), "/y"] + (["/reg:%d" % view] if view else []))
        if not os.path.exists(path):
            return {}
        with open(path, "rb") as f:
            text = f.read().decode("utf-16")
    values = {}
    for m in re.finditer(r'^"((?:[^"\\]|\\.)*)"=(?:"((?:[^"\\]|\\.)*)"|dword:([0-9a-f]{8}))\r?$', text, re.M):
        name = re.sub(r"\\(.)", r"\1", m.group(1))
        values[name] = ("REG_SZ", re.sub(r"\\(.)", r"\1", m.group(2))) if m.group(3) is None \
            else ("REG_DWORD", int(m.group(3), 16))
    return values


def run_value(hive, view=None):
    """The data of the ZT_AutoUpdate Run value under HKCU or HKLM, or None."""
    return read_key(hive + "\\" + RUN_KEY, view).get("ZT_AutoUpdate", (None, None))[1]


def set_run_value(hive, data, view=None):
    extra = ["/reg:%d" % view] if view else []
    if data is None:
        run_windows(["reg", "delete", hive + "\\" + RUN_KEY, "/v", "ZT_AutoUpdate", "/f"] + extra)
    else:
        run_windows(["reg", "add", hive + "\\" + RUN_KEY, "/v", "ZT_AutoUpdate", "/d", data, "/f"] + extra)


def windows_variable(name):
    rc, lines = run_windows(["cmd", "/c", "echo %" + name + "%"])
    check(rc == 0 and lines and "%" not in lines[-1], "%%%s%% is %s" % (name, lines[-1] if lines else None))
    return lines[-1].strip()


class InstallRig:
    def __init__(self, e2e):
        self.e2e = e2e
        self.installer, self.company = e2e.args.installer, e2e.args.company
        with open(os.path.join(e2e.source, "res", "version.h"), encoding="utf-8") as f:
            self.version = re.search(r'#define ZT_VERSION_TEXT "([^"]+)"', f.read()).group(1)
        self.built_exe = os.path.join(e2e.build, zt_e2e.EXE_NAME)
        self.probe_exe = os.path.join(e2e.build, "tests", "support", "probe.exe")
        self.folder = windows_variable("LOCALAPPDATA") + r"\Programs\ZT_AutoUpdate"
        self.exe = self.folder + "\\" + zt_e2e.EXE_NAME
        self.uninstaller = self.folder + r"\uninstall.exe"
        self.install_log = self.folder + r"\install.log"  # the installer's own word on what it ended
        self.shortcut = windows_variable("APPDATA") + r"\Microsoft\Windows\Start Menu\Programs\安全驾驶导引系统自动升级工具.lnk"
        self.autostart_command = '"%s" /autohide' % self.exe

    @classmethod
    def from_args(cls):
        parser = argparse.ArgumentParser()
        parser.add_argument("--installer", required=True, help="the x64 installer of this build")
        parser.add_argument("--company", required=True, help="ZT_COMPANY_NAME of this build")
        parser.add_argument("--server", required=True, help="update_server.py")
        return cls(zt_e2e.E2E.from_args(parser))

    def __enter__(self):
        self.remove_everything()
        return self

    def __exit__(self, *exc):
        self.e2e.kill_all()
        self.remove_everything()
        return False

    def remove_everything(self):
        for path in (self.exe, self.uninstaller, self.install_log, self.shortcut, self.folder):
            try:
                (os.rmdir if path == self.folder else os.remove)(zt_e2e.to_unix(path))
            except OSError:
                pass
        run_windows(["reg", "delete", UNINSTALL_KEY, "/f"])
        set_run_value("HKCU", None)
        set_run_value("HKLM", None, view=32)
        self.e2e.clean_update_root()
        zt_e2e.clean_user_state()

    def install_silently(self):
        """Runs the installer with /S; returns (exit code, seconds)."""
        t0 = time.monotonic()
        rc, _ = run_windows([self.installer, "/S"], timeout=120)
        return rc, time.monotonic() - t0

    def uninstall_quietly(self):
        """Runs the entry's QuietUninstallString exactly, as Apps & Features would, and waits for the
        result: the uninstaller copies itself to %TEMP% and returns at once. Returns seconds."""
        command = read_key(UNINSTALL_KEY).get("QuietUninstallString", (None, None))[1]
        check(command is not None, "the uninstall entry has a QuietUninstallString")
        t0 = time.monotonic()
        check("pid" in self.e2e.start(command, wait_ms=30000), "uninstaller started")
        gone = lambda: not os.path.exists(zt_e2e.to_unix(self.folder)) and not read_key(UNINSTALL_KEY)  # noqa: E731
        check(wait_for(gone, 30), "uninstall finished: folder and entry gone within 30 s")
        return time.monotonic() - t0

    def installed_bytes(self):
        with open(zt_e2e.to_unix(self.exe), "rb") as f:
            return f.read()

    def built_bytes(self):
        with open(self.built_exe, "rb") as f:
            return f.read()

    def window(self, what):
        """probe.exe `find` (rc 0 when the main window exists) or `visible` ("1") on the main window."""
        rc, lines = run_windows([self.probe_exe, what, "main"])
        return rc == 0 if what == "find" else lines[:1] == ["1"]

    def start_as_autostart(self, server=None):
        """Starts the installed tool with exactly the HKCU Run value's command line (against the
        update server at `server`, host:port, or none); returns its pid."""
        command = run_value("HKCU")
        check(command == self.autostart_command, "HKCU Run value: quoted path and /autohide (%s)" % command)
        report = self.e2e.start(command, env={"ZT_UPDATE_SERVER": server} if server else zt_e2e.NO_SERVER)
        check("running" in report, "installed tool runs (%s)" % report)
        check(wait_for(lambda: self.window("find"), 30), "its main window exists")
        return report["pid"]


def run_scenario(run, *extra):
    """Runs `run(rig, *extra)` on a clean installation rig; a failed check or a broken rig fails the
    scenario with the tool's log, and PASS is printed only after everything was cleaned up."""
    rig = InstallRig.from_args()
    with rig:
        try:
            run(rig, *extra)
        except Exception as e:
            print("FAIL:", e)
            print("log:\n" + rig.e2e.read_log())
            sys.exit(1)
    print("PASS")
