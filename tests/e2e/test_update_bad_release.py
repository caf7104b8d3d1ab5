"""A bad but signed release never costs the user the tool. This build offered as a higher version
(its version resource says otherwise) is never swapped in and fetched at most once over two starts.
A new version that ends at once, and one that comes up but cannot resolve its server's address (the
next build with its release placeholder server), are started from beside the executable, do not
confirm, and the old executable, which never left its path, runs hidden again within two minutes;
nothing is left beside it, and neither is fetched again, also after a restart.
test_update_hanging_release.py does the same with a version that runs but never shows a window."""
import os
import time

import zt_e2e
from probe import check, wait_until
from update_rig import (GapWatch, end_unstarted_copy, run_scenario, scheduled_check, serve_updater, standin_package,
                        user_state, versions)


class Releases:
    """A publication of the installed package with a new executable, and the rollback of a bad one."""

    def __init__(self, e2e, tool, server):
        self.e2e, self.tool, self.server = e2e, tool, server
        self.exe_unix = zt_e2e.to_unix(tool.win_exe)
        self.package = standin_package(e2e)
        self.old = open(self.exe_unix, "rb").read()
        self.env = {"ZT_UPDATE_SERVER": server.address()}
        server.serve("report", b"")

    def publish(self, seq, version, name, body):
        return serve_updater(self.server, self.package, seq, version, name, body)

    def install_package(self, served):
        self.server.serve("data_pkg_0201.exe", self.package)
        self.tool.install_local_files(data_program=False, descriptor=served)
        with open(os.path.join(self.tool.update_root(), "data_update.exe"), "wb") as f:
            f.write(self.package)

    def check_until(self, mark, what, timeout=60):
        before = len(self.tool.log())
        scheduled_check(self.tool)
        check(wait_until(lambda: mark in self.tool.log()[before:], timeout), what)

    def roll_back(self, seq, version, standin):
        """Offers `standin` (a file of the build) as `version`; it must not confirm, and the old
        version comes back, remembered and not fetching it again."""
        e2e, tool, server, exe_unix = self.e2e, self.tool, self.server, self.exe_unix
        print("-- %s: %s" % (version, standin), flush=True)
        self.publish(seq, version, "ZT_AutoUpdate_%s.exe" % version, open(os.path.join(e2e.build, standin), "rb").read())
        end_unstarted_copy(tool)
        tool.start(" /autohide", env=self.env)
        old_pid = tool.pid
        gap = GapWatch(tool, 120)
        swapped = time.monotonic()
        scheduled_check(tool)
        tray_gap_ms = gap.result_ms(130)
        back_s = time.monotonic() - swapped
        check(tray_gap_ms is not None, "a tool is back")
        check(wait_until(lambda: not e2e.running(old_pid), 30), "the tool that started the new version has ended")
        check(back_s < 120, "back within two minutes (%.1f s)" % back_s)
        print("rollback of %s: back %.1f s after the check, tray icon gone %d ms" % (standin, back_s, tray_gap_ms),
              flush=True)
        check(open(exe_unix, "rb").read() == self.old, "the old executable is at its path")
        check(not any(os.path.exists(exe_unix + suffix) for suffix in (".ztnew", ".ztold", ".ztfailed")),
              "nothing left beside it")
        check(wait_until(lambda: not tool.visible(), 10), "the old tool runs hidden")
        check("version %s " % version in tool.log() and "the previous version stays and starts again" in tool.log(),
              "the log says why")
        check(version in (user_state("FailedUpdaterVersions") or ""), "remembered for this user")
        check("更新成功" not in tool.log(), "no success was announced")
        if standin.startswith("ZT_AutoUpdate_next"):
            check("version %s cannot confirm that it runs: it cannot resolve its server's address" % version in tool.log()
                  and "version %s ended saying that it cannot work here (exit status 0x20005A55)" % version
                  in tool.log(), "the new version said why, and the previous one logged its status")
        # The restarted tool is not this scenario's: its check by its window.
        self.check_until("version %s not fetched: it failed here before" % version, "not fetched again")
        check(server.requested("ZT_AutoUpdate_%s.exe" % version) == 1, "fetched once")

    def check_reports(self, expected):
        """The vendor heard of each (version, result) once."""
        sent = [e["path"].split("?", 1)[1] for e in self.server.requests("report")]
        for version, result in expected:
            check(len([q for q in sent if "what=updater&result=%s&version=%s&" % (result, version) in q]) == 1,
                  "one report of %s %s: %s" % (version, result, sent))


def run(e2e, tool, server):
    current, following = versions(e2e)
    releases = Releases(e2e, tool, server)
    # Offered as a version above the next build's, which a later step offers.
    mislabelled = "3.0"
    releases.install_package(releases.publish(5, mislabelled, "ZT_AutoUpdate_mislabelled.exe", releases.old))

    print("-- this build (%s) offered as %s" % (current, mislabelled), flush=True)
    tool.start(" /autohide", env=releases.env)
    releases.check_until("its version resource says %s, the descriptor %s" % (current, mislabelled),
                         "refused for its version")
    check(tool.running(), "the tool keeps running")
    check(open(releases.exe_unix, "rb").read() == releases.old, "the executable is unchanged")
    tool.stop()
    tool.start(" /autohide", env=releases.env)
    releases.check_until("version %s not fetched: it failed here before" % mislabelled, "not fetched after a restart")
    check(server.requested("ZT_AutoUpdate_mislabelled.exe") == 1, "fetched once over two starts")
    tool.stop()

    unresolved = open(os.path.join(e2e.build, "ZT_AutoUpdate_next_unresolved.exe"), "rb").read()
    check(b"ZT_UPDATE_SERVER=update.example.invalid\0" in unresolved, "the unresolvable build names a .invalid server")
    releases.roll_back(6, "3.1", "standins/updater_exits.exe")
    releases.roll_back(8, following, "ZT_AutoUpdate_next_unresolved.exe")
    end_unstarted_copy(tool)
    tool.pid = None
    releases.check_reports(((mislabelled, "refused"), ("3.1", "rolled-back"), (following, "rolled-back")))


def main():
    # A copy the tool started itself may still run.
    run_scenario(run, on_failure=lambda tool: end_unstarted_copy(tool, wait=False))


if __name__ == "__main__":
    main()
