"""The launch of the data-update program from button IDC_BTN_START_UPDATE: the window hides, the program runs and
the tool waits for it on a worker, answering meanwhile; with its window already present nothing is
started; a data_update.exe that is not the one the installed descriptor signs is never started.
The stand-in is the probe itself, copied as C:\\ZT_Update\\data_update.exe."""
import os
import re
import shutil
import subprocess
import time

import zt_e2e
from probe import WM_LBUTTONUP, check, run_windows, scenario, wait_until
from zt_ids import IDC_BTN_START_UPDATE, WM_TRAY_NOTIFY, kTrayIconId


def standin_log(tool):
    try:
        with open(os.path.join(tool.update_root(), "standin.log")) as f:
            return f.read().split()
    except OSError:
        return []


def run(tool):
    tool.set_run_value("x")
    with open(tool.probe_exe, "rb") as f:
        program = f.read()
    tool.install_local_files(data_program=True, descriptor=zt_e2e.descriptor(
        9320, "data_update.exe", len(program), data_bytes=program, data_time="2026-11-30", data_desc="x"))
    tool.start(" /visible", env={"ZT_STANDIN_MS": "6000"})
    check(tool.visible(), "window shown")
    check(tool.out("enabled", IDC_BTN_START_UPDATE) == "1", "button 1004 enabled")

    tool.probe("command", IDC_BTN_START_UPDATE)
    check(wait_until(lambda: standin_log(tool) == ["started"], 10), "the stand-in was started")
    check(tool.visible("updater"), "its window is up")
    check(not tool.visible(), "the main window hid")
    # The tool waits for the program on a worker: the window answers meanwhile (once it has hidden,
    # which takes Wine without a window manager up to 2 s).
    check(wait_until(lambda: tool.send(0, timeout_ms=1000) is not None, 4), "the tool answers while the program runs")
    check(standin_log(tool) == ["started"], "while the program still runs")
    check(wait_until(lambda: standin_log(tool) == ["started", "ended"], 20), "the stand-in ended")
    check(not tool.visible(), "the main window stays hidden")
    log = tool.log()
    check("updater-launch started " in log and "the checked copy of C:\\ZT_Update\\data_update.exe" in log,
          "launch logged")
    check(wait_until(lambda: "updater-launch the data-update program ended" in tool.log(), 10), "end logged")

    # The program's window already present: nothing is started.
    other = os.path.join(tool.drive_c, "ZT Other")
    os.makedirs(other, exist_ok=True)
    shutil.copy(tool.probe_exe, os.path.join(other, "data_update.exe"))
    os.remove(os.path.join(tool.update_root(), "standin.log"))
    out = open(os.path.join(other, "out.txt"), "wb")
    env = dict(os.environ, ZT_STANDIN_MS="15000", WINEDEBUG="-all")
    running = subprocess.Popen(["wine", os.path.join(other, "data_update.exe")], stdout=out,
                               stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, env=env)
    try:
        check(wait_until(lambda: tool.visible("updater"), 15), "a data-update window is present")
        tool.post(WM_TRAY_NOTIFY, kTrayIconId, WM_LBUTTONUP)
        check(wait_until(lambda: tool.visible(), 5), "main window shown")
        tool.probe("command", IDC_BTN_START_UPDATE)
        tool.sync()
        time.sleep(1)
        check(standin_log(tool) == ["started"], "no second program started (%s)" % standin_log(tool))
        check(tool.visible(), "the main window did not hide")
        check("refused: the data-update program runs already" in tool.log(), "refusal logged")
    finally:
        running.wait(timeout=60)
        out.close()

    # Another program in data_update.exe's place (one byte more): the tool does not start it.
    with open(os.path.join(tool.update_root(), "data_update.exe"), "ab") as f:
        f.write(b"\0")
    os.remove(os.path.join(tool.update_root(), "standin.log"))
    tool.probe("command", IDC_BTN_START_UPDATE)
    tool.sync()
    time.sleep(2)
    check(standin_log(tool) == [], "the swapped program was not started (%s)" % standin_log(tool))
    check(tool.visible(), "the main window did not hide")
    # One byte more than the signed length: refused from its size, before a byte of it is read.
    check(re.search(r"refused: data_update.exe is not started: its size \d+ is larger than the \d+ bytes",
                    tool.log()), "refusal logged with the reason")


if __name__ == "__main__":
    scenario(run)
