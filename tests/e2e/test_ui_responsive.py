"""A server that accepts the connection and never answers must not freeze the window: the
information refresh's descriptor fetch has a 5-second budget and, after a failure, waits longer
and longer before it tries again. A visible window with the local files missing is asked with
WM_NULL, one message after another, for 60 seconds; every answer must come within 6 seconds."""
import os
import re
import subprocess
import sys
import time

from probe import check, scenario

SECONDS = 60
LIMIT_MS = 6000


def server(tool, *args):
    script = os.path.join(tool.e2e.source, "tests", "support", "update_server.py")
    state = os.path.join(tool.e2e.build, "ui-stall-server")
    out = subprocess.run([sys.executable, script] + list(args[:1]) + ["--state", state] + list(args[1:]),
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         timeout=60, text=True)
    return state, out.stdout.strip()


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
        answers = []
        end = time.time() + SECONDS
        while time.time() < end:
            ms = tool.send(0, timeout_ms=LIMIT_MS + 4000)
            check(ms is not None, "the window answered at %.0f s" % (SECONDS - (end - time.time())))
            answers.append(ms)
        worst = max(answers)
        print("answers: %d, slowest %d ms, mean %.0f ms" % (len(answers), worst, sum(answers) / len(answers)))
        check(worst < LIMIT_MS, "every answer within %d ms (slowest %d ms)" % (LIMIT_MS, worst))
        check(tool.visible(), "window still visible")
        check(tool.text(1005) == "\r\n正在更新，请稍候....", "waiting text shown")

        log = tool.log()
        failures = re.findall(r"refresh descriptor fetch failed (\d+) time\(s\); next try in (\d+) ticks", log)
        print("fetch failures logged:", failures)
        check(len(failures) >= 2, "the stalled fetch was tried and failed more than once")
        waits = [int(w) for _, w in failures]
        check(waits == sorted(waits) and waits[-1] > waits[0], "the wait between fetches grows (%s)" % waits)
        # Without the spacing, a fetch every third tick: about 60 / (3 + 5) = 7 or more in a minute.
        check(len(failures) <= 6, "few fetches in a minute (%d)" % len(failures))
    finally:
        server(tool, "stop")


if __name__ == "__main__":
    scenario(run)
