"""launch.exe gives a program exactly the command line it was asked for (quotes, blanks, Chinese,
a trailing space) and the extra environment; the tool's command-line readers then split it by
their rules. The program is the shell's Windows test program in its reporting mode."""
import argparse
import os
import sys

import zt_e2e
from zt_e2e import check


def read_report(path):
    seen = {}
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            key, _, value = line.partition("=")
            seen[key] = value
    return seen


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reporter", required=True, help="app_win_tests.exe")
    e2e = zt_e2e.E2E.from_args(parser)
    folder = r"C:\ZT rig 启动 test"
    exe = folder + "\\reporter.exe"
    os.makedirs(zt_e2e.to_unix(folder), exist_ok=True)
    with open(e2e.args.reporter, "rb") as src, open(zt_e2e.to_unix(exe), "wb") as dst:
        dst.write(src.read())
    report = folder + "\\report.txt"
    # command line, GetArgCount, GetArg(0..3)
    cases = [
        ('"%s" /autohide' % exe, "1", [exe, "/autohide", "", ""]),
        ('"%s" /AUTOHIDE ' % exe, "2", [exe, "/AUTOHIDE", "", ""]),
        ('"%s" "a b" 数据 x' % exe, "3", [exe, "a b", "数据", "x"]),
        ('"%s"' % exe, "1", [exe, "", "", ""]),
    ]
    try:
        with e2e:
            for command, count, args in cases:
                if os.path.exists(zt_e2e.to_unix(report)):
                    os.remove(zt_e2e.to_unix(report))
                result = e2e.start(command, env={"ZT_APP_CHILD_REPORT": report}, wait_ms=20000)
                check(result.get("exit") == "0", "reporter ran (%s)" % result)
                seen = read_report(zt_e2e.to_unix(report))
                check(seen.get("path") == exe, "module path %r" % seen.get("path"))
                check(seen.get("count") == count, "[%s] count %s" % (command, seen.get("count")))
                got = [seen.get("arg%d" % i) for i in range(4)]
                check(got == args, "[%s] arguments %s" % (command, got))
    except Exception as e:  # a failed check or a broken rig: both fail the scenario
        print("FAIL:", e)
        sys.exit(1)
    print("PASS")


if __name__ == "__main__":
    main()
