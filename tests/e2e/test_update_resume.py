"""A 25 MiB package over links that break: dropped every 6 MiB it installs in the same check; the
tool killed part-way continues at the next start; a package changed on the server between two
starts, behind a server that answers ranges whatever If-Range says, still ends up installed right
(its hash fails, it is fetched whole once more); a server without ranges still gives the package.
The server's request log counts the bytes each step cost, and shows the User-Agent."""
import os
import re

from probe import check, wait_until
from update_rig import descriptor, package_bytes, run_scenario

MiB = 1024 * 1024
BIG = 25 * MiB
SMALL = 3 * MiB


def version_text(e2e):
    with open(os.path.join(e2e.source, "res", "version.h"), encoding="utf-8") as f:
        return re.search(r'#define ZT_VERSION_TEXT "([^"]+)"', f.read()).group(1)


def publish(server, version, name, package, fault=None):
    server.serve(name, package)
    server.serve("version.txt", descriptor(version, name, len(package), data_bytes=package))
    server.fault(name, fault or "{}")


def start(tool, server):
    tool.start(" /autohide", env={"ZT_UPDATE_SERVER": server.address()}, wait_window=True)


def installed(tool, package, timeout):
    path = os.path.join(tool.update_root(), "data_update.exe")
    return wait_until(lambda: os.path.exists(path) and os.path.getsize(path) == len(package) and
                      open(path, "rb").read() == package, timeout)


def part_size(tool, name):
    try:
        return os.path.getsize(os.path.join(tool.update_root(), "Download", name + ".ztresume"))
    except OSError:
        return 0


def kill_part_way(tool, server, name, at):
    """Waits until the kept part holds `at` bytes (the server stalls there), then ends the tool by
    its process id, and waits for the server to log the broken request."""
    check(wait_until(lambda: part_size(tool, name) >= at, 60), "the part reached %d bytes" % at)
    tool.stop()
    check(wait_until(lambda: len(server.requests(name)) >= 1, 30), "the server logged the broken request")


def run(e2e, tool, server):
    # 1. Dropped every 6 MiB: installed in the same check, each byte fetched about once.
    package = package_bytes(BIG, 1)
    publish(server, "0301", "data_0301.exe", package, '{"drop_every": %d}' % (6 * MiB))
    start(tool, server)
    check(installed(tool, package, 120), "the 25 MiB package is installed over a link that drops every 6 MiB")
    sent = server.bytes_sent("data_0301.exe")
    check(len(server.requests("data_0301.exe")) >= 5, "it took several connections (%d)"
          % len(server.requests("data_0301.exe")))
    check(sent <= 1.15 * BIG, "fetched %.3f x its size (at most 1.15)" % (sent / BIG))
    agent = server.requests("data_0301.exe")[0]["headers"].get("user-agent", "")
    check(re.fullmatch(r"ZT_AutoUpdate/%s \(Windows NT \d+\.\d+; x64\)" % re.escape(version_text(e2e)), agent),
          "the User-Agent carries the version, Windows' version and the architecture (%s)" % agent)
    tool.stop()

    # 2. Killed at about 40 %: the next start continues the kept part.
    tool.clean_update_root()
    package = package_bytes(BIG, 2)
    publish(server, "0302", "data_0302.exe", package, '{"stall_after": %d, "stall_seconds": 3}' % (10 * MiB))
    start(tool, server)
    kill_part_way(tool, server, "data_0302.exe", 10 * MiB)
    server.fault("data_0302.exe", "{}")
    start(tool, server)
    check(installed(tool, package, 120), "the next start installs the package")
    ranges = [e["headers"].get("range") for e in server.requests("data_0302.exe")]
    check(ranges[-1] == "bytes=%d-" % (10 * MiB), "the next start asked for the rest only (%s)" % ranges)
    sent = server.bytes_sent("data_0302.exe")
    check(sent <= 1.15 * BIG, "fetched %.3f x its size across the kill (at most 1.15)" % (sent / BIG))
    check("resumed from %d" % (10 * MiB) in tool.log(), "the log says where it resumed")
    tool.stop()

    # 3. Changed on the server between two starts, behind a server that answers 206 whatever
    #    If-Range says: the joined copy fails its hash and the package is fetched whole once more.
    tool.clean_update_root()
    old, new = package_bytes(SMALL, 3), package_bytes(SMALL, 4)
    publish(server, "0303", "data_0303.exe", old, '{"stall_after": %d, "stall_seconds": 3}' % MiB)
    start(tool, server)
    kill_part_way(tool, server, "data_0303.exe", MiB)
    publish(server, "0303", "data_0303.exe", new, '{"range_always": true}')
    start(tool, server)
    check(installed(tool, new, 60), "the changed package is installed, byte for byte")
    log = tool.log()
    check("fetching it whole once more" in log, "the log tells of the hash failure and the second fetch")
    statuses = [e.get("status") for e in server.requests("data_0303.exe")]
    check(statuses[-2:] == [206, 200], "a range, then the whole file (%s)" % statuses)
    tool.stop()

    # 4. A server without ranges: the kept part starts over and the package is still right.
    tool.clean_update_root()
    package = package_bytes(SMALL, 5)
    publish(server, "0304", "data_0304.exe", package, '{"stall_after": %d, "stall_seconds": 3}' % MiB)
    start(tool, server)
    kill_part_way(tool, server, "data_0304.exe", MiB)
    server.fault("data_0304.exe", '{"ignore_ranges": true}')
    start(tool, server)
    check(installed(tool, package, 60), "a server that ignores ranges still gives the right package")
    last = server.requests("data_0304.exe")[-1]
    check(last.get("status") == 200 and "range" in last["headers"], "it asked for a range and got the whole file")
    leftovers = [n for n in os.listdir(os.path.join(tool.update_root(), "Download")) if ".zt" in n]
    check(not leftovers, "no part or temporary file left (%s)" % leftovers)


def main():
    run_scenario(run)


if __name__ == "__main__":
    main()
