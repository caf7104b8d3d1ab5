"""The tool and servers that say no: a 503 with Retry-After keeps it from asking again before then;
over HTTPS it installs from a server whose root is trusted, and from one of another root, or one
that redirects to plain HTTP, it takes nothing and logs why. (Too little room on the volume is shown
by the Windows test UpdateDownload.NoRoomFetchesNothingAndSaysWhy: a small volume mounted in the
prefix's update folder is a link, which the tool rightly refuses to write through.)"""
import os
import re
import time

import zt_e2e
from probe import check, wait_until
from update_rig import UpdateServer, descriptor, make_certificates, package_bytes, run_scenario
from zt_ids import IDT_WATCH

MiB = 1024 * 1024


def start(tool, server):
    tool.start(" /autohide", env={"ZT_UPDATE_SERVER": server.address()})


def installed(tool, package, timeout):
    path = os.path.join(tool.update_root(), "data_update.exe")
    return wait_until(lambda: os.path.exists(path) and open(path, "rb").read() == package, timeout)


def publish(server, name, package):
    server.serve(name, package)
    server.serve("version.txt", descriptor("0401", name, len(package), data_bytes=package))


def download_lines(tool, name):
    return [line for line in tool.log().splitlines() if " download %s " % name in line]


def retry_after(e2e, tool, server):
    server.serve("version.txt", b"")
    server.fault("version.txt", '{"status": 503, "retry_after": 60}')
    start(tool, server)
    check(wait_until(lambda: len(server.requests("version.txt")) == 1, 30), "the descriptor was asked for once")
    # Refresh fetches come every third tick, less often after each failure: ticks for about 10 s.
    for _ in range(6):
        tool.probe("tick", IDT_WATCH, 6)
        time.sleep(1)
    check(len(server.requests("version.txt")) == 1, "and not again while the server asked to wait (%d requests)"
          % len(server.requests("version.txt")))
    refusals = [line for line in download_lines(tool, "version.txt") if "Retry-After" in line]
    check(len(refusals) >= 2, "each later fetch was refused at once with the reason (%d)" % len(refusals))
    # The last refusal still had the rest of the minute to wait: nothing is asked within 50 s.
    left = int(re.search(r"for (\d+) s more", refusals[-1]).group(1))
    waited = time.time() - server.requests("version.txt")[0]["time"]
    check(waited + left >= 58, "the wait ends a minute after the 503 (%.0f s passed, %d s left)" % (waited, left))
    server.fault("version.txt", "{}")
    tool.stop()


def https(e2e, tool, plain):
    certs = make_certificates(os.path.join(e2e.build, "tls-test"))
    rc, lines = tool.probe("add-root", zt_e2e.to_windows(certs["trusted"][2]))
    check(rc == 0 and lines == ["added"], "the test root is in the prefix's ROOT store (%s)" % lines)
    package = package_bytes(MiB, 11)
    servers = {name: UpdateServer(e2e.args.server, tls=certs[name][:2]) for name in ("trusted", "untrusted")}
    try:
        trusted, untrusted = servers["trusted"], servers["untrusted"]
        publish(trusted, "data_0401.exe", package)
        start(tool, trusted)
        check(installed(tool, package, 60), "over https with a trusted root the package is installed")
        tool.stop()

        tool.clean_update_root()
        publish(untrusted, "data_0401.exe", package)
        start(tool, untrusted)
        check(wait_until(lambda: download_lines(tool, "version.txt"), 30), "the descriptor fetch ended")
        line = download_lines(tool, "version.txt")[0]
        check("result=failed" in line and "HttpSendRequestW: (0x" in line,
              "a certificate of another root is refused with WinINet's error (%s)" % line)
        check(not untrusted.requests("version.txt"), "and no request reached the server")
        tool.stop()

        # A redirect from https to http is not followed into use.
        tool.clean_update_root()
        publish(plain, "data_0401.exe", package)
        trusted.fault("version.txt", '{"redirect_url": "http://127.0.0.1:%d/autoupdate/version.txt"}' % plain.port)
        start(tool, trusted)
        check(wait_until(lambda: download_lines(tool, "version.txt"), 30), "the descriptor fetch ended")
        line = download_lines(tool, "version.txt")[0]
        check("result=failed" in line, "a redirect from https to http gives nothing (%s)" % line)
        time.sleep(2)
        check(not os.path.exists(os.path.join(tool.update_root(), "data_update.exe")), "and nothing is installed")
        tool.stop()
    finally:
        for s in servers.values():
            s.stop()


def run(e2e, tool, server):
    retry_after(e2e, tool, server)
    tool.clean_update_root()
    https(e2e, tool, server)


def main():
    run_scenario(run)


if __name__ == "__main__":
    main()
