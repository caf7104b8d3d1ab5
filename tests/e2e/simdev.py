"""The simulated device for end-to-end scenarios and the demo.

Run inside scripts/with-wine (WINEPREFIX set). The rig lives in <build>/simdev:

    device_simulator.exe   serves each plugged device over named pipes
    hid.dll, setupapi.dll  stand-ins that present those pipes as HID interfaces
    data_update_standin.exe  the data-update program's stand-in (window "ZT_PNV 系统升级工具")

Typical use:

    import simdev
    sim = simdev.Simulator(build)                  # folder C:\\ZT_Sim (ZT_SIM_DIR for other folders)
    sim.start()                                    # no device plugged yet
    simdev.install_standins(build, exe_unix_path)  # DLLs beside the exe + per-program override
    sim.plug(["device car version=2001 id=ZT000001"])   # returns once the simulator serves it
    sim.plug([])                                   # unplugged
    sim.state()                                    # {"car": {"vid": "0416", "pid": "B501", "version": "2001"}}
    sim.flash("2005")                              # as the data-update program would do
    sim.stop()

Control file C:\\ZT_Sim\\devices.txt, one line per plugged device (the order is the enumeration
order; the tool's queries address the last matching one):

    device NAME [key=value ...]
      vid, pid       hexadecimal, default 0416 / B501
      version        the data version, up to 4 characters (e.g. 5000 or -999), default 5000
      first, second  the other two numbers of the data-version answer, default 1 / 1
      flash          the flash id, 4 hex digits, default C216
      answer         the whole data-version answer text (its length goes into the last byte)
      raw_version, raw_id   64 answer bytes as 128 hex digits
      id, key        the 8-character identity and its scrambling key (hex), default ZT000001 / 5A
      delay          milliseconds before answering;  silent=1  never answers
      short          deliver only this many answer bytes;  write=0  refuse opens for writing
      stall=1        never take a request (the tool's writes time out)

The simulator writes C:\\ZT_Sim\\state.txt ("serial N", then "device NAME VID PID PIPE version=V")
once a control file is in effect. The data-update stand-in writes flash.txt ("version=V ...");
the simulator then sets that version on every plugged device.
"""
import os
import shutil
import subprocess
import time

import zt_e2e

SIM_DIR_WIN = "C:\\ZT_Sim"
STANDIN_DLLS = ("hid.dll", "setupapi.dll")


def _prefix():
    p = os.environ.get("WINEPREFIX")
    if not p:
        raise RuntimeError("WINEPREFIX is not set: run inside scripts/with-wine")
    return p


def _unix(win_path):
    assert win_path[:3].upper() == "C:\\", win_path
    return os.path.join(_prefix(), "drive_c", win_path[3:].replace("\\", "/"))


def _write_atomic(path, text):
    tmp = path + ".py.tmp"
    with open(tmp, "w", newline="\n") as f:
        f.write(text)
    os.replace(tmp, path)


def overrides_env():
    """The environment entry that makes a directly started program load the stand-ins."""
    return {"WINEDLLOVERRIDES": "hid,setupapi=n"}


def install_standins(build, exe_unix_path):
    """Copies the stand-in DLLs where the exe loads them (setupapi.dll beside it, hid.dll into the
    prefix's System32, the only place the tool loads it from) and makes that exe (only it, by name)
    load them: a per-program DllOverrides entry also holds when another Windows program starts it."""
    folder = os.path.dirname(exe_unix_path)
    for dll in STANDIN_DLLS:
        shutil.copy(os.path.join(build, "simdev", dll), os.path.join(folder, dll))
    shutil.copy(os.path.join(build, "simdev", "hid.dll"), os.path.join(_prefix(), "drive_c", "windows", "system32",
                                                                      "hid.dll"))
    key = "HKCU\\Software\\Wine\\AppDefaults\\%s\\DllOverrides" % os.path.basename(exe_unix_path)
    env = {"WINEDEBUG": "-all"}
    for dll in STANDIN_DLLS:
        # Without the override the tool silently sees Wine's own (empty) HID list: make sure it holds.
        # Written once; a failed write is a fault of the rig, reported with reg's own words.
        rc, _, err = zt_e2e.run_windows_full(["reg", "add", key, "/v", dll[:-4], "/d", "native", "/f"], env=env)
        if rc != 0 or zt_e2e.run_windows(["reg", "query", key, "/v", dll[:-4]], env=env)[0] != 0:
            raise RuntimeError("the DLL override for %s could not be set (reg add: status %d, %s)"
                               % (dll, rc, err or "no message"))


class Simulator:
    def __init__(self, build, sim_dir_win=SIM_DIR_WIN, log_path=None):
        self.build = os.path.abspath(build)
        self.sim_dir_win = sim_dir_win
        self.dir = _unix(sim_dir_win)
        self.log_path = log_path
        self.serial = 0
        self.proc = None
        self._out = None

    def start(self, timeout=30):
        """Starts the simulator with no device plugged; returns once it serves."""
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self._out = open(self.log_path or os.path.join(self.dir, "simulator.out"), "wb")
        env = dict(os.environ, WINEDEBUG="-all")
        env.pop("WINEDLLOVERRIDES", None)  # the simulator itself uses Wine's own DLLs
        # Output to a file: Wine's daemons may inherit a pipe and keep it open.
        self.proc = subprocess.Popen(["wine", os.path.join(self.build, "simdev", "device_simulator.exe"),
                                      self.sim_dir_win], stdin=subprocess.DEVNULL, stdout=self._out,
                                     stderr=self._out, env=env)
        self.plug([], timeout)
        return self

    def plug(self, lines, timeout=30):
        """Replaces the plugged devices with `lines` ("device NAME key=value ..."); returns once
        the simulator serves them. Raises RuntimeError when it does not within `timeout` s."""
        self.serial += 1
        _write_atomic(os.path.join(self.dir, "devices.txt"),
                      "serial %d\n" % self.serial + "".join(line.rstrip("\n") + "\n" for line in lines))
        if not self._wait(lambda: self._serial() == str(self.serial), timeout):
            raise RuntimeError("the device simulator did not take devices.txt (serial %d)" % self.serial)

    def state(self):
        """The devices served now: {name: {"vid", "pid", "pipe", "version"}}."""
        devices = {}
        for line in self._state_lines()[1:]:
            words = line.split()
            if len(words) >= 5 and words[0] == "device":
                entry = {"vid": words[2], "pid": words[3], "pipe": words[4]}
                for pair in words[5:]:
                    k, _, v = pair.partition("=")
                    entry[k] = v
                devices[words[1]] = entry
        return devices

    def wait_version(self, name, version, timeout=15):
        """True once device `name` reports data version `version`."""
        return self._wait(lambda: self.state().get(name, {}).get("version") == str(version), timeout)

    def requests(self):
        """The requests taken so far: [(unix ms, device, command)]."""
        try:
            with open(os.path.join(self.dir, "requests.txt")) as f:
                return [(int(ms), name, command) for ms, name, command in (line.split() for line in f if line.strip())]
        except OSError:
            return []

    def flash(self, version):
        """Sets the data version of every plugged device, as the data-update program does."""
        _write_atomic(os.path.join(self.dir, "flash.txt"), "version=%s stamp=py%f\n" % (version, time.time()))

    def stop(self):
        if not self.proc:
            return
        try:
            _write_atomic(os.path.join(self.dir, "devices.txt"), "quit\n")
            self.proc.wait(timeout=15)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()
        self.proc = None
        if self._out:
            self._out.close()
            self._out = None

    def __enter__(self):
        return self.start() if not self.proc else self

    def __exit__(self, *exc):
        self.stop()
        return False

    def _state_lines(self):
        try:
            with open(os.path.join(self.dir, "state.txt")) as f:
                return f.read().splitlines()
        except OSError:
            return []

    def _serial(self):
        lines = self._state_lines()
        return lines[0].split()[1] if lines and lines[0].startswith("serial ") else None

    def _wait(self, condition, timeout):
        end = time.monotonic() + timeout
        while True:
            if condition():
                return True
            if self.proc and self.proc.poll() is not None:
                return False
            if time.monotonic() >= end:
                return False
            time.sleep(0.1)
