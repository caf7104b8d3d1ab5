"""A device that never answers: every poll gives up within its transfer limits, so the window
stays responsive (each poll under half a second); nothing is reported, and the log says once why
(the transfer that failed), not at every poll."""
import statistics

import watch_rig as R
from watch_rig import check
from zt_ids import IDT_WATCH


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
    said = rig.find("device", "found but no valid answer: ReadFile: no completion within 100 ms")
    check(len(said) == 1, "the reason is logged once (%s)" % [e for _, e in rig.find("device", "")])
    check(len(rig.find("device", "")) == 1 and not rig.find("balloon", ""), "and the device is not reported")


R.scenario(run)
