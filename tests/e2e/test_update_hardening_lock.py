"""Another session's tool holds the machine-wide lock Global\\ZT_AutoUpdate_Shared for minutes (a
probe plays it). This tool still fetches the server's version.txt into the user's own folder and
verifies it (the user's floor rises to its sequence); the package is not downloaded, and after the
third refusal in a row the window's information text and the history say that another session is
holding the shared folder. Once that tool has ended without letting go, the lock counts as free:
the package is installed and the notice is gone."""
import os
import subprocess

import zt_e2e
from probe import check, wait_until
from update_rig import run_scenario, serve_data, standin_package, sequence_floors
from zt_ids import IDC_EDIT_INFO, IDT_WATCH

LOCK = "Global\\ZT_AutoUpdate_Shared"
REFUSED = "not downloaded now: another session's tool is working on C:\\ZT_Update"
NOTICE_START = "另一个用户的会话正在使用共享升级文件夹"


def refusals(tool):
    return tool.log().count(REFUSED)


def run(e2e, tool, server):
    check(zt_e2e.SIGNING_KEY is not None, "the build under test has a key (ZT_TEST_SIGNING_KEY)")
    package = standin_package(e2e)
    served = serve_data(server, package)
    tool.set_run_value("x")  # no auto-start question

    out_path = os.path.join(e2e.build, "hardening-lock-%d.out" % os.getpid())
    out = open(out_path, "wb")
    holder = subprocess.Popen(["wine", tool.probe_exe, "lock", LOCK, "600000"], stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.DEVNULL, env=dict(os.environ, WINEDEBUG="-all"))
    try:
        check(wait_until(lambda: b"held" in open(out_path, "rb").read(), 30), "another session's tool holds the lock")
        tool.start(" /visible", env={"ZT_UPDATE_SERVER": server.address()})
        # The local files are missing: every third tick the information refresh fetches the
        # descriptor, and each fetch starts the data procedure, which finds the lock held.
        for _ in range(20):
            seen = refusals(tool)
            if seen >= 3:
                break
            tool.probe("tick", IDT_WATCH, 3)
            wait_until(lambda: refusals(tool) > seen, 10)
        check(refusals(tool) >= 3, "three downloads refused in a row (%d)" % refusals(tool))
        own = zt_e2e.to_unix(zt_e2e.OWN_FOLDER)
        fetched = os.path.join(own, "Download", "version.txt")
        check(os.path.exists(fetched) and open(fetched, "rb").read() == served,
              "version.txt was fetched into the user's own folder all the same")
        check(3 in sequence_floors().values(), "and verified: the user's floor rose to its sequence 3")
        check(server.requested("pkg_0201.exe") == 0, "the package was not downloaded")
        check(not os.path.exists(os.path.join(tool.update_root(), "data_update.exe")), "nothing installed")
        tool.probe("tick", IDT_WATCH, 3)  # an information refresh
        text = tool.text(IDC_EDIT_INFO)
        check(NOTICE_START in text, "the information text says another session holds the folder: %r" % text)
        lines = [line for line in e2e.history() if line[1:3] == ["data", "refused"]]
        check(len(lines) == 1 and NOTICE_START in lines[0][-1], "the history says so once: %s" % e2e.history())
    finally:
        holder.kill()  # by its own process handle: the lock is left abandoned
        holder.wait()
        out.close()
        os.remove(out_path)

    for _ in range(10):
        if "version 0201 installed" in tool.log():
            break
        tool.probe("tick", IDT_WATCH, 3)
        wait_until(lambda: "version 0201 installed" in tool.log(), 10)
    check("version 0201 installed" in tool.log(), "the lock of a tool that ended is taken: the package is installed")
    tool.probe("tick", IDT_WATCH, 3)
    check(wait_until(lambda: NOTICE_START not in tool.text(IDC_EDIT_INFO), 10), "the notice is gone")
    check("数据版本: 0201" in tool.text(IDC_EDIT_INFO), "the information text shows the installed version")


def main():
    run_scenario(run)


if __name__ == "__main__":
    main()
