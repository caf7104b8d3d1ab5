"""Self-update benchmark: the real tool under Wine replacing itself, with the rigs of the scenarios.

  away      while a good new version replaces the running one: the longest time in which no main
            window answered or no tray icon was shown (probe gap), and the time from the scheduled
            check to a main window of the new process answering
  rollback  a signed new version that ends at once: the time from the scheduled check until a
            tool answers again (the old one, put back), or "never" when none comes within 120 s

Each --exe LABEL=PATH is measured in turn with a fresh copy installed. The new version offered to
it is the next build of this tree (ZT_AutoUpdate_next.exe of --build) when the exe is this tree's
own build, else the exe itself with an overlay (a build from before the version check takes that).

--quick measures this tree's build alone and fails when a figure has no number (the suite runs it so
that a change of the rigs cannot break the benchmark unnoticed; its timings are never judged).

Runs inside the Wine prefix and display of scripts/bench, with the rigs of --build and
ZT_TEST_SIGNING_KEY set when the build trusts a key.
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import zt_e2e  # noqa: E402
from probe import Tool  # noqa: E402
from responsiveness_bench import BenchE2E  # noqa: E402
from update_rig import GapWatch, UpdateServer, descriptor, scheduled_check, versions  # noqa: E402
from zt_e2e import clean_user_state  # noqa: E402
from zt_ids import WM_UPDATER_DONE  # noqa: E402

ROLLBACK_LIMIT_S = 120


def measure(e2e, server, new_version, new_bytes):
    """(longest absence in ms, seconds from the check to another process's answering window); the
    second is None when none came within the limit."""
    tool = Tool(e2e)
    tool.clean_update_root()
    clean_user_state()
    package = open(os.path.join(e2e.build, "simdev", "data_update_standin.exe"), "rb").read()
    served = descriptor("0201", "pkg.exe", len(package), data_bytes=package, updater_version=new_version,
                        updater_file="new.exe", updater_length=len(new_bytes), updater_bytes=new_bytes, seq=5)
    server.serve("version.txt", served)
    server.serve("pkg.exe", package)
    server.serve("new.exe", new_bytes)
    tool.install_local_files(data_program=False, descriptor=served)
    with open(os.path.join(tool.update_root(), "data_update.exe"), "wb") as f:
        f.write(package)
    tool.start(" /autohide", env={"ZT_UPDATE_SERVER": server.address()})
    gap = GapWatch(tool, ROLLBACK_LIMIT_S)
    start = time.monotonic()
    scheduled_check(tool)
    absent_ms = gap.result_ms(ROLLBACK_LIMIT_S + 10)
    back_s = time.monotonic() - start if absent_ms is not None else None
    # Whatever runs now was started by the tool, not by this benchmark: end it through its window.
    if tool.exists():
        tool.post(WM_UPDATER_DONE, 1, 0)
        zt_e2e.wait_for(lambda: not tool.exists(), 30)
    tool.stop()
    tool.clean_update_root()
    clean_user_state()
    return absent_ms, back_s


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--exe", action="append", required=True, help="LABEL=PATH")
    parser.add_argument("--quick", action="store_true", help="fail when a figure has no number")
    args = parser.parse_args()
    own = os.path.realpath(os.path.join(args.build, zt_e2e.EXE_NAME))
    rows = []
    for item in args.exe:
        label, path = item.split("=", 1)
        e2e = BenchE2E(args.build, args.source, path)
        server = UpdateServer(os.path.join(args.source, "tests", "support", "update_server.py"))
        try:
            with e2e:
                if os.path.realpath(path) == own:
                    good = open(os.path.join(args.build, "ZT_AutoUpdate_next.exe"), "rb").read()
                    following = "next build"
                else:
                    good = open(path, "rb").read() + b"\0ZT-NEW-BUILD\0" * 64
                    following = "itself with an overlay"
                away_ms, replaced_s = measure(e2e, server, versions(e2e)[1], good)
                bad = open(os.path.join(args.build, "standins", "updater_exits.exe"), "rb").read()
                _, back_s = measure(e2e, server, "3.1", bad)
        finally:
            server.stop()
        rows.append((label, following, away_ms, replaced_s, back_s))
    print("%-8s %-24s %18s %18s %22s" % ("exe", "new version", "away (ms)", "check to new (s)",
                                         "exits at once: back (s)"))
    for label, following, away_ms, replaced_s, back_s in rows:
        print("%-8s %-24s %18s %18s %22s" % (
            label, following, "-" if away_ms is None else away_ms,
            "-" if replaced_s is None else "%.1f" % replaced_s,
            "never (%d s)" % ROLLBACK_LIMIT_S if back_s is None else "%.1f" % back_s))
    if args.quick:
        zt_e2e.check(all(None not in row[2:] for row in rows), "every figure has a number")


if __name__ == "__main__":
    main()
