"""A second start while the tool runs ends at once with status 0, shows nothing and leaves the
first instance running. A start as a replacement, which names the previous process, waits for the
single-instance marker as long as that process lives, however long (here 14 s, past the 10 s a
replaced start of the earlier order gets). The real exe under Wine, installed in a folder with
blanks."""
import os
import sys
import time

import zt_e2e
from zt_e2e import check


def scenario(e2e, first_arguments):
    exe = e2e.install()
    e2e.clean_update_root()
    command = '"%s"%s' % (exe, first_arguments)
    first = e2e.start(command, env=zt_e2e.NO_SERVER)
    check("pid" in first and "running" in first, "first instance runs (%s)" % first)
    # The log is opened only after the mutex is taken: its start line means the first holds it.
    check(zt_e2e.wait_for(lambda: " start version " in e2e.read_log(), 30), "first instance started")

    t0 = time.monotonic()
    second = e2e.start(command, env=zt_e2e.NO_SERVER, wait_ms=2000)
    elapsed = time.monotonic() - t0
    check(second.get("exit") == "0", "second start ended with status 0 within 2 s (%s)" % second)
    print("second start round trip through launch.exe: %.2f s" % elapsed)

    check(e2e.running(first["pid"]), "first instance still runs")
    time.sleep(1)
    log = e2e.read_log()
    check(log.count(" start version ") == 1, "only the first instance started up (log:\n%s)" % log)
    e2e.kill_all()
    check(not e2e.running(first["pid"]), "first instance ended by the harness")


def replaced_start_waits(e2e):
    exe = e2e.install()
    e2e.clean_update_root()
    probe = os.path.join(e2e.build, "tests", "support", "probe.exe")
    holder = e2e.start('"%s" lock Zant_AutoUpdate_Sem 14000' % zt_e2e.to_windows(probe))
    check("running" in holder, "a previous process holds the marker for 14 s (%s)" % holder)
    t0 = time.monotonic()
    replaced = e2e.start('"%s" /autohide /replaced %s %s' % (exe, holder["pid"], "0123456789abcdef" * 2),
                         env=zt_e2e.NO_SERVER)
    check("running" in replaced, "the replaced start runs (%s)" % replaced)
    time.sleep(12)
    check(e2e.running(replaced["pid"]), "after 12 s it still waits")
    check(" start version " not in e2e.read_log(), "and has not started up")
    check(zt_e2e.wait_for(lambda: " start version " in e2e.read_log(), 30), "it starts once the marker is free")
    waited = [line for line in e2e.read_log().splitlines() if "gave up the marker after" in line]
    # The tool's own start takes a moment of the holder's 14 s: past the earlier order's 10 s is the point.
    check(waited and int(waited[0].split("after ")[1].split(" ms")[0]) > 10000,
          "it waited for the previous process past 10 s: %s" % waited)
    print("replaced start came up %.1f s after its start" % (time.monotonic() - t0))
    e2e.kill_all()


def main():
    e2e = zt_e2e.E2E.from_args()
    try:
        with e2e:
            for arguments in ("", " /autohide"):
                print("-- first instance started with [%s]" % arguments.strip(), flush=True)
                scenario(e2e, arguments)
            print("-- a replaced start while the previous process holds the marker", flush=True)
            replaced_start_waits(e2e)
        e2e.clean_update_root()
    except Exception as e:  # a failed check or a broken rig: both fail the scenario
        print("FAIL:", e)
        print("log:\n" + e2e.read_log())
        sys.exit(1)
    print("PASS")


if __name__ == "__main__":
    main()
