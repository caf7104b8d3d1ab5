"""A device that never answers: every poll gives up within its transfer limits, so the window
stays responsive (each poll under half a second) and nothing is logged or reported."""
import statistics

import watch_rig as R
from watch_rig import check


def run(rig):
    rig.start_simulator(["device mute silent=1 id=ZT000009"])
    rig.start_tool()
    times = []
    for _ in range(24):
        ms = rig.tool.send(R.WM_TIMER, R.IDT_WATCH, 0, timeout_ms=5000)
        check(ms is not None, "tick answered")
        times.append(ms)
    polls = [ms for ms in times if ms >= 100]
    print("tick times (ms):", times)
    check(len(polls) >= 4, "polls waited for the silent device (%d ticks over 100 ms)" % len(polls))
    # A tick that arrives during a timer-driven poll waits for it too, so this bounds a poll well.
    check(max(times) < 500, "every tick answered within half a second (slowest %d ms)" % max(times))
    print("silent poll: median %d ms, slowest %d ms" % (statistics.median(polls), max(polls)))
    check(not rig.find("device", "") and not rig.find("balloon", ""), "a silent device is neither logged nor reported")


R.scenario(run)
