"""The simulated device as the scenarios use it: plugged and unplugged through simdev.py, and
the stand-in data-update program handing the installed data version to every plugged device."""
import argparse
import os
import subprocess
import sys
import time

import simdev


def check(condition, what):
    if not condition:
        print("FAILED:", what, flush=True)
        sys.exit(1)
    print("ok:", what, flush=True)


def run_standin(build, work, extra_env=None):
    """Runs the data-update stand-in to its end; returns (exit code, seconds it stayed)."""
    start = time.monotonic()
    env = dict(os.environ, WINEDEBUG="-all")
    env.update(extra_env or {})
    with open(os.path.join(work, "standin.out"), "wb") as out:
        rc = subprocess.call(["wine", os.path.join(build, "simdev", "data_update_standin.exe")],
                             stdin=subprocess.DEVNULL, stdout=out, stderr=out, timeout=60, env=env)
    return rc, time.monotonic() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", default=None, help="the source folder (unused)")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    update_root = os.path.join(os.environ["WINEPREFIX"], "drive_c", "ZT_Update")
    descriptor = os.path.join(update_root, "version.txt")
    os.makedirs(update_root, exist_ok=True)
    saved = open(descriptor, "rb").read() if os.path.exists(descriptor) else None
    sim = simdev.Simulator(build)
    try:
        sim.start()
        check(sim.state() == {}, "no device at start")
        sim.plug(["device other pid=B502 version=3000", "device car version=2001 id=ZT000001"])
        state = sim.state()
        check(sorted(state) == ["car", "other"], "two devices served: %s" % state)
        check(state["car"]["vid"] == "0416" and state["car"]["pid"] == "B501", "vendor and product id reported")
        check(state["other"]["pid"] == "B502", "another product id reported as such")

        with open(descriptor, "wb") as f:
            f.write(b"updater_version=2.7\r\ndata_version=2005\r\ndata_file=data_update.exe\r\n")
        rc, stayed = run_standin(build, sim.dir)
        check(rc == 0, "the data-update stand-in ended normally")
        check(stayed >= 1.5, "it stayed about two seconds (%.1f s)" % stayed)
        check(sim.wait_version("car", "2005") and sim.wait_version("other", "2005"),
              "every plugged device now reports the installed version: %s" % sim.state())

        sim.plug(["device car version=2001 id=ZT000001"])
        check(list(sim.state()) == ["car"] and sim.state()["car"]["version"] == "2005",
              "the other device is unplugged; the device whose line is unchanged keeps its new data")
        sim.plug(["device car version=2001 id=ZT000002"])
        check(sim.state()["car"]["version"] == "2001", "a changed device line sets the device anew")
        sim.flash("2010")
        check(sim.wait_version("car", "2010"), "a hand-over through flash.txt changes the version")
        # A window program beside the stand-in DLLs with the override: Wine's user32 delay-loads
        # setupapi for display queries, so this shows the stand-in serves it without a crash.
        with open(descriptor, "wb") as f:
            f.write(b"data_version=2011\r\n")
        rc, _ = run_standin(build, sim.dir, simdev.overrides_env())
        check(rc == 0 and sim.wait_version("car", "2011"), "a window program runs with the stand-in DLLs loaded")
        sim.plug([])
        check(sim.state() == {}, "unplugged")
    finally:
        sim.stop()
        if saved is None:
            if os.path.exists(descriptor):
                os.remove(descriptor)
        else:
            with open(descriptor, "wb") as f:
                f.write(saved)
    check(sim.proc is None, "the simulator ended on request")


if __name__ == "__main__":
    main()
