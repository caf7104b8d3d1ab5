"""A second start while the tool runs ends at once with status 0, shows nothing and leaves the
first instance running. The real exe under Wine, installed in a folder with blanks."""
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


def main():
    e2e = zt_e2e.E2E.from_args()
    try:
        with e2e:
            for arguments in ("", " /autohide"):
                print("-- first instance started with [%s]" % arguments.strip(), flush=True)
                scenario(e2e, arguments)
        e2e.clean_update_root()
    except Exception as e:  # a failed check or a broken rig: both fail the scenario
        print("FAIL:", e)
        print("log:\n" + e2e.read_log())
        sys.exit(1)
    print("PASS")


if __name__ == "__main__":
    main()
