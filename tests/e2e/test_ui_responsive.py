"""A server that accepts the connection and never answers must never hold the window: every
descriptor fetch runs on a worker. A visible window with the local files missing is asked with
WM_NULL, one message after another, for 20 seconds while its refresh fetches stall (they are spaced
further and further apart); then the scheduled fetch at tick 151 stalls too, across the data check
at tick 155, which waits for it. Every answer must come within 100 ms."""
import os
import re
import subprocess
import sys
import time

from probe import check, scenario
from zt_ids import IDC_EDIT_INFO, IDT_WATCH

SECONDS = 20
LIMIT_MS = 100


def server(tool, *args):
    script = os.path.join(tool.e2e.source, "tests", "support", "update_server.py")
    state = os.path.join(tool.e2e.build, "ui-stall-server")
    out = subprocess.run([sys.executable, script] + list(args[:1]) + ["--state", state] + list(args[1:]),
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         timeout=60, text=True)
    return state, out.stdout.strip()


def answers_for(tool, seconds):
    answers = []
    end = time.time() + seconds
    while time.time() < end:
        ms = tool.send(0, timeout_ms=10000)
        check(ms is not None, "the window answered")
        answers.append(ms)
    return answers


def run(tool):
    state, port = server(tool, "start")
    check(port.isdigit(), "stalling server started on port %s" % port)
    try:
        os.makedirs(os.path.join(state, "root"), exist_ok=True)
        with open(os.path.join(state, "root", "version.txt"), "wb") as f:
            f.write(b"data_version=9320\r\ndata_time=2026-11-30\r\ndata_desc=x\r\n")
        server(tool, "fault", "version.txt", '{"stall_before": 600}')

        tool.set_run_value("x")  # no auto-start question
        tool.start(" /visible", env={"ZT_UPDATE_SERVER": "127.0.0.1:" + port})
        answers = answers_for(tool, SECONDS)
        print("refresh fetches stalled: %d answers, slowest %d ms, mean %.1f ms"
              % (len(answers), max(answers), sum(answers) / len(answers)))
        check(max(answers) < LIMIT_MS, "every answer within %d ms (slowest %d ms)" % (LIMIT_MS, max(answers)))
        check(tool.visible(), "window still visible")
        check(tool.text(IDC_EDIT_INFO) == "\r\n正在更新，请稍候....", "waiting text shown")
        log = tool.log()
        failures = re.findall(r"refresh descriptor fetch failed (\d+) time\(s\); next try in (\d+) ticks", log)
        print("fetch failures logged:", failures)
        check(len(failures) >= 2, "the stalled fetch was tried and failed more than once")
        waits = [int(w) for _, w in failures]
        check(waits == sorted(waits) and waits[-1] > waits[0], "the wait between fetches grows (%s)" % waits)

        # The scheduled fetch at tick 151 stalls for its 30 s; the data check at 155 waits for it.
        rc, _ = tool.probe("tick", IDT_WATCH, 151, timeout=600)
        check(rc == 0, "ticks up to 151 answered at once")
        during = answers_for(tool, 3)
        rc, _ = tool.probe("tick", IDT_WATCH, 4, timeout=60)
        check(rc == 0, "ticks up to 155 answered at once")
        during += answers_for(tool, 3)
        print("scheduled fetch stalled: %d answers, slowest %d ms" % (len(during), max(during)))
        check(max(during) < LIMIT_MS, "every answer within %d ms while it stalls" % LIMIT_MS)
        check("waits for the descriptor fetch" in tool.log(), "the data check waits for the fetch")
    finally:
        server(tool, "stop")


if __name__ == "__main__":
    scenario(run)
