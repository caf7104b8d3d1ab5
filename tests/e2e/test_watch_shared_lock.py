"""One data-update program per machine. While another session's tool holds the machine-wide lock
Global\\ZT_AutoUpdate_Shared (a probe plays it), a device with older data is reported but not
handed to the data-update program: the user, told a moment before that it would start, is told
why not, and the history keeps it. Once that tool has ended without letting go, the lock counts as
free, and the device is handed over at the next report that the forget timer and the launch
spacing allow."""
import os
import subprocess

import watch_rig as R
from watch_rig import check
from zt_ids import IDT_FORGET_DEVICE

LOCK = "Global\\ZT_AutoUpdate_Shared"


def run(rig):
    rig.install_local(2002)
    rig.start_simulator(["device pnv1 version=2001 id=ZT000001"])
    out_path = os.path.join(rig.work, "lock.out")
    out = open(out_path, "wb")
    holder = subprocess.Popen(["wine", rig.args.probe, "lock", LOCK, "600000"], stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.DEVNULL, env=dict(os.environ, WINEDEBUG="-all"))
    try:
        check(R.wait_until(lambda: b"held" in open(out_path, "rb").read(), 30), "another tool holds the lock")
        rig.start_tool()
        rig.ticks(45)
        rig.wait_for("device", "older, data update started")
        rig.wait_for("updater-launch", "refused: another session's tool is working on C:\\ZT_Update")
        check(not rig.tool.exists("updater"), "no data-update program was started")
        rig.wait_for("balloon", "另一个用户正在使用数据升级，请稍后再试。")
        refused = [line[1:] for line in rig.e2e.history()]
        check(len(refused) == 1 and refused[0][:3] == ["data", "refused", "2001->2002"],
              "the refused start is kept: %s" % refused)
    finally:
        holder.kill()  # by its own process handle: the lock is left abandoned
        holder.wait()
        out.close()
    mark = rig.mark()
    rig.ticks(1, timer=IDT_FORGET_DEVICE)
    rig.ticks_in_background(45)
    check(R.wait_until(lambda: rig.tool.exists("updater"), 60), "the data-update program runs")
    rig.wait_for("updater-launch", "the data-update program ended", timeout=60, after=mark)
    check(rig.tick_job.wait(timeout=120) == 0, "ticks delivered")


R.scenario(run)
