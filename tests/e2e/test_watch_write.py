"""Every write of the device is judged by reading it back, and kept in the history.

A device with older data is written by the data-update program, started exactly as programs of its
kind expect (the command line C:\\ZT_update\\data_update.exe and nothing else, not from
C:\\ZT_Update\\); it is read back current: a balloon and an "ok" line, and one anonymous report.
A second device whose writes do not take: the failure balloon, one retry by itself at its next
report, then no third start across two forget periods, and the start button shown. Pressed, it
starts a 20 s write, during which the window answers within 100 ms and holds off the end of the
session (WM_QUERYENDSESSION answered 0), and afterwards lets it go (1). The history window shows
the lines newest first."""
import os
import time
import urllib.parse

import watch_rig as R
from probe import WM_COMMAND, WM_RBUTTONUP, WM_SYSCOMMAND
from watch_rig import check
from zt_ids import IDC_BTN_START_UPDATE, IDT_FORGET_DEVICE, WM_TRAY_NOTIFY, kSysCommandShow, kTrayIconId

WM_NULL = 0x0000
WM_QUERYENDSESSION = 0x0011
COMMAND_LINE = "C:\\ZT_update\\data_update.exe"
WRITTEN = "设备数据已更新为最新版2002。"
NOT_TAKEN = "数据写入未成功，设备数据仍为2001。"
HELD = "自动写入已失败两次"


def runs(rig):
    """How the stand-in was started, one (command line, current folder) per run."""
    try:
        with open(os.path.join(rig.sim.dir, "runs.txt"), encoding="utf-8") as f:
            return [tuple(line.rstrip("\n").split("\t")) for line in f if line.strip()]
    except OSError:
        return []


def stand_in(rig, text):
    with open(os.path.join(rig.sim.dir, "standin.txt"), "w") as f:
        f.write(text)


def history(rig):
    return [line[1:] for line in rig.e2e.history()]  # what, result, versions, words


def report_queries(server):
    return [dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(e["path"]).query, keep_blank_values=True))
            for e in server.requests() if e.get("name") == "report"]


def write_once(rig, ticks=45):
    """Ticks until the decision starts the program; returns once the write has been judged."""
    before = len(runs(rig))
    mark = rig.mark()
    rig.ticks_in_background(ticks)
    check(R.wait_until(lambda: len(runs(rig)) == before + 1, 60), "the data-update program was started")
    rig.wait_for("updater-launch", "the data-update program ended;", timeout=60, after=mark)
    check(rig.tick_job.wait(timeout=120) == 0, "ticks delivered")


def run(rig):
    server = rig.start_server()
    server.publish(2002)
    with open(os.path.join(server.root, "report"), "wb"):
        pass
    rig.install_local(2002)
    rig.start_simulator(["device car version=2001 id=ZT000001"])
    rig.start_tool()

    print("-- a write that takes", flush=True)
    write_once(rig)
    rig.wait_for("balloon", WRITTEN)
    check(history(rig)[-1][:2] == ["data", "ok"] and history(rig)[-1][2].startswith("2001->2002"),
          "the history keeps the write: %s" % history(rig))
    command, folder = runs(rig)[0]
    check(command == COMMAND_LINE, "started with the command line %s alone (got %r)" % (COMMAND_LINE, command))
    check(not folder.lower().startswith("c:\\zt_update"), "not from the shared folder (%s)" % folder)
    check(R.wait_until(lambda: report_queries(server), 20), "the write was reported")
    report = report_queries(server)[-1]
    check(sorted(report) == ["cause", "cpu", "from", "result", "seq", "tool", "version", "what"] and
          (report["what"], report["result"], report["version"], report["from"], report["seq"]) ==
          ("data", "ok", "2002", "2001", "1"),
          "the report names the outcome and nothing of the PC or the device: %s" % report)

    print("-- writes that do not take", flush=True)
    stand_in(rig, "write=0\n")
    rig.sim.plug(["device other version=2001 id=ZT000002"])
    write_once(rig)
    rig.wait_for("balloon", NOT_TAKEN)
    rig.wait_for("balloon", "系统将在下次检测到该设备时自动再试一次")
    check(history(rig)[-1][:2] == ["data", "failed"] and history(rig)[-1][2].startswith("2001->2002"),
          "the failure is kept: %s" % history(rig)[-1])
    # The retry comes by itself, at the next report of the same device.
    rig.ticks(1, timer=IDT_FORGET_DEVICE)
    write_once(rig)
    rig.wait_for("balloon", "点击“启动升级包”重试")
    check(rig.tool.out("shown", IDC_BTN_START_UPDATE) == "1", "the start button is shown")
    # Two more forget periods: reported, held, nothing started.
    started = len(runs(rig))
    for _ in range(2):
        mark = rig.mark()
        rig.ticks(1, timer=IDT_FORGET_DEVICE)
        rig.ticks(45)
        rig.wait_for("balloon", HELD, after=mark)
    check(len(runs(rig)) == started, "no third start by itself (%d runs)" % len(runs(rig)))
    check([h[1] for h in history(rig)] == ["ok", "failed", "failed"], "two failures kept: %s" % history(rig))

    print("-- the user's start: a 20 s write", flush=True)
    stand_in(rig, "seconds=20\n")
    rig.tool.post(WM_SYSCOMMAND, kSysCommandShow)
    rig.tool.sync()
    rig.tool.probe("click", IDC_BTN_START_UPDATE)
    check(R.wait_until(lambda: len(runs(rig)) == started + 1, 30), "the start button started the program")
    # Hiding the window holds its thread a moment under Wine without a window manager.
    check(R.wait_until(lambda: rig.tool.send(WM_NULL, timeout_ms=1000) is not None, 5), "the window answers")
    answers = []
    end = time.monotonic() + 12
    while time.monotonic() < end:
        answers.append(rig.tool.send(WM_NULL, timeout_ms=2000))
    print("answers while the device is written (ms):", answers, flush=True)
    check(None not in answers and max(answers) <= 100, "every answer within 100 ms (slowest %s)" % max(answers))
    check(rig.tool.send_result(WM_QUERYENDSESSION)[0] == 0, "the end of the session is held off while it writes")
    rig.wait_for("updater-launch", "the data-update program ended;", timeout=60)
    rig.wait_for("balloon", WRITTEN, after=len(rig.entries()) - 3)
    check(rig.tool.send_result(WM_QUERYENDSESSION)[0] == 1, "and let go afterwards")
    check(history(rig)[-1][:2] == ["data", "ok"], "the user's write is kept: %s" % history(rig)[-1])

    print("-- the history window", flush=True)
    rig.tool.post(WM_TRAY_NOTIFY, kTrayIconId, WM_RBUTTONUP)
    check(R.wait_until(lambda: rig.tool.probe("menu")[0] == 0, 5), "tray menu opens")
    rig.tool.probe("menu-pick", 2)
    check(R.wait_until(lambda: rig.tool.exists("history"), 10), "升级记录 opens the history")
    _, texts = rig.tool.probe("texts", "history")
    lines = texts[0][len("text="):].split("\\r\\n") if texts else []
    check([line.split("\t")[2] for line in lines] == ["ok", "failed", "failed", "ok"],
          "the history window shows the lines newest first: %s" % lines)
    rig.tool.probe("post-to", "history", WM_COMMAND, 2)  # IDCANCEL: 关闭
    check(R.wait_until(lambda: not rig.tool.exists("history"), 10), "and closes")


R.scenario(run)
