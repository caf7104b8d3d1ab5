"""What the installer scenarios share: the per-user paths as Windows names them, the installer and
uninstaller runs, registry values read exactly (through `reg export`: `reg query` prints Chinese as
"?"), and the tool's main window found by the probe.

A scenario:  rig = InstallRig.from_args(); with rig: ...   (runs inside scripts/with-wine)
"""
import argparse
import os
import re
import tempfile
import time

import zt_e2e
from zt_e2e import check, run_windows, wait_for  # noqa: F401  (re-exported for the scenarios)

PRODUCT = "安全驾驶导引系统自动升级工具"
RUN_KEY = r"Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZT_AutoUpdate"
RUN_VALUE = "ZT_AutoUpdate"


def windows_variable(name):
    """%name% as a program in the prefix sees it (Wine builds the profile paths itself)."""
    rc, lines = run_windows(["cmd", "/c", "echo %" + name + "%"])
    value = lines[-1].strip() if lines else ""
    check(rc == 0 and value and "%" not in value, "%%%s%% is %s" % (name, value))
    return value


def version_text(source):
    """ZT_VERSION_TEXT of res/version.h: the version everything shipped must carry."""
    with open(os.path.join(source, "res", "version.h"), encoding="utf-8") as f:
        return re.search(r'#define ZT_VERSION_TEXT "([^"]+)"', f.read()).group(1)


def _parse_reg_export(text):
    """{value name: (type, data)} of a .reg file with one key; "@" is the default value."""
    values = {}
    for line in text.splitlines():
        m = re.match(r'^("(?:[^"\\]|\\.)*"|@)=(.*)$', line)
        if not m:
            continue
        name = m.group(1)
        name = "@" if name == "@" else re.sub(r"\\(.)", r"\1", name[1:-1])
        data = m.group(2)
        if data.startswith('"'):
            values[name] = ("REG_SZ", re.sub(r"\\(.)", r"\1", data[1:-1]))
        elif data.startswith("dword:"):
            values[name] = ("REG_DWORD", int(data[6:], 16))
        else:
            values[name] = ("other", data)
    return values


def read_key(key, view=None):
    """The values of `key` ({} when it does not exist); view 32 reads the 32-bit registry view."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "key.reg")
        args = ["reg", "export", key, zt_e2e.to_windows(path), "/y"] + (["/reg:%d" % view] if view else [])
        run_windows(args)
        if not os.path.exists(path):
            return {}
        with open(path, "rb") as f:
            raw = f.read()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8", "replace")
    return _parse_reg_export(text)


def run_value(hive, view=None):
    """The data of the ZT_AutoUpdate Run value under `hive` (HKCU, HKLM), or None."""
    entry = read_key(hive + "\\" + RUN_KEY, view).get(RUN_VALUE)
    return entry[1] if entry and entry[0] == "REG_SZ" else None


def set_run_value(hive, data, view=None):
    key = hive + "\\" + RUN_KEY
    extra = ["/reg:%d" % view] if view else []
    if data is None:
        run_windows(["reg", "delete", key, "/v", RUN_VALUE, "/f"] + extra)
    else:
        run_windows(["reg", "add", key, "/v", RUN_VALUE, "/t", "REG_SZ", "/d", data, "/f"] + extra)


class InstallRig:
    def __init__(self, e2e):
        self.e2e = e2e
        self.installer = e2e.args.installer
        self.company = e2e.args.company
        self.version = version_text(e2e.source)
        self.built_exe = os.path.join(e2e.build, zt_e2e.EXE_NAME)
        self.probe_exe = os.path.join(e2e.build, "tests", "support", "probe.exe")
        self.folder = windows_variable("LOCALAPPDATA") + r"\Programs\ZT_AutoUpdate"
        self.exe = self.folder + "\\" + zt_e2e.EXE_NAME
        self.uninstaller = self.folder + r"\uninstall.exe"
        self.shortcut = windows_variable("APPDATA") + r"\Microsoft\Windows\Start Menu\Programs" + "\\" + PRODUCT + ".lnk"
        self.autostart_command = '"%s" /autohide' % self.exe

    @classmethod
    def from_args(cls):
        parser = argparse.ArgumentParser()
        parser.add_argument("--installer", required=True, help="the x64 installer of this build")
        parser.add_argument("--company", required=True, help="ZT_COMPANY_NAME of this build")
        return cls(zt_e2e.E2E.from_args(parser))

    def __enter__(self):
        self.e2e.__enter__()
        self.remove_everything()
        return self

    def __exit__(self, *exc):
        self.e2e.__exit__(*exc)
        self.remove_everything()
        return False

    def remove_everything(self):
        """A clean machine: no installation, no values, no update root (between scenarios too)."""
        for path in (self.exe, self.uninstaller, self.shortcut):
            try:
                os.remove(zt_e2e.to_unix(path))
            except OSError:
                pass
        try:
            os.rmdir(zt_e2e.to_unix(self.folder))
        except OSError:
            pass
        run_windows(["reg", "delete", UNINSTALL_KEY, "/f"])
        set_run_value("HKCU", None)
        set_run_value("HKLM", None, view=32)
        self.e2e.clean_update_root()

    # --- the installer and uninstaller -------------------------------------------------------
    def install_silently(self):
        """Runs the installer with /S and waits for it; returns (exit code, seconds)."""
        t0 = time.monotonic()
        rc, _ = run_windows([self.installer, "/S"], timeout=120)
        return rc, time.monotonic() - t0

    def uninstall_entry(self):
        return read_key(UNINSTALL_KEY)

    def uninstall_quietly(self):
        """Runs the entry's QuietUninstallString exactly, as Apps & Features would, and waits for
        its result: the uninstaller copies itself to %TEMP% and returns at once. Returns seconds."""
        entry = self.uninstall_entry().get("QuietUninstallString")
        check(entry is not None, "the uninstall entry has a QuietUninstallString")
        t0 = time.monotonic()
        report = self.e2e.start(entry[1], wait_ms=30000)
        check("pid" in report, "uninstaller started (%s)" % report)
        done = wait_for(lambda: not self.installed() and not self.uninstall_entry(), 30)
        check(done, "uninstall finished: files and entry gone within 30 s")
        return time.monotonic() - t0

    # --- what is on the machine --------------------------------------------------------------
    def installed(self):
        return os.path.exists(zt_e2e.to_unix(self.exe)) or os.path.exists(zt_e2e.to_unix(self.uninstaller))

    def installed_bytes(self):
        with open(zt_e2e.to_unix(self.exe), "rb") as f:
            return f.read()

    def built_bytes(self):
        with open(self.built_exe, "rb") as f:
            return f.read()

    def window_exists(self):
        rc, _ = run_windows([self.probe_exe, "find", "main"])
        return rc == 0

    def window_visible(self):
        rc, lines = run_windows([self.probe_exe, "visible", "main"])
        return bool(lines) and lines[0] == "1"

    def start_as_autostart(self):
        """Starts the installed tool with exactly the HKCU Run value's command line; returns its pid."""
        command = run_value("HKCU")
        check(command == self.autostart_command, "the Run value is %s" % command)
        report = self.e2e.start(command, env=zt_e2e.NO_SERVER)
        check("running" in report, "installed tool runs (%s)" % report)
        check(wait_for(self.window_exists, 30), "its main window exists")
        return report["pid"]

