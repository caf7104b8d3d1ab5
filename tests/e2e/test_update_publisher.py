"""What the publisher controls, as an installed tool sees it. The build under test trusts two keys:
a publication signed by the second one installs, one signed by a third is refused. With this
user's rollout bucket at 42, a new data version and a new executable offered to 40 % of
installations are left alone (the installed data stays), and offered to 43 % they are taken. A
build made as a release is (server not taken from the environment) ignores ZT_UPDATE_SERVER."""
import os
import shutil
import subprocess
import tempfile

import zt_e2e
from probe import check, wait_until
from update_rig import descriptor, run_scenario, scheduled_check, standin_package, versions

SECOND_KEY = zt_e2e.SECOND_SIGNING_KEY
DATA_CHECK_TICKS = 160  # past the first scheduled data check (tick 155)


def run(e2e, tool, server):
    check(SECOND_KEY is not None, "the build under test trusts a second key (ZT_TEST_SECOND_SIGNING_KEY)")
    current, following = versions(e2e)
    package = standin_package(e2e)
    mislabelled = open(zt_e2e.to_unix(tool.win_exe), "rb").read()  # this build, offered as the next
    env = {"ZT_UPDATE_SERVER": server.address()}
    root = tool.update_root()
    tool.set_run_value("x")

    def check_cycle(mark, what, ticks=DATA_CHECK_TICKS):
        tool.stop()
        before = len(tool.log())
        tool.start(" /autohide", env=env)
        tool.probe("tick", 1, ticks, timeout=600)
        check(wait_until(lambda: mark in tool.log()[before:], 30), what)
        return tool.log()[before:]

    print("-- keys", flush=True)
    server.serve("pkg_0201.exe", package)
    server.serve("version.txt", zt_e2e.descriptor("0201", "pkg_0201.exe", len(package), data_bytes=package,
                                                  seq=1, key=SECOND_KEY))
    check_cycle("version 0201 installed", "a publication signed by the second key installs")
    with tempfile.TemporaryDirectory() as keys:
        subprocess.run([os.path.join(e2e.source, "scripts", "keygen"), keys], check=True, stdout=subprocess.DEVNULL)
        server.serve("pkg_0202.exe", package)
        server.serve("version.txt", zt_e2e.descriptor("0202", "pkg_0202.exe", len(package), data_bytes=package,
                                                      seq=2, key=os.path.join(keys, "private.pem")))
        check_cycle("refused: its signature does not verify", "one signed by a third key is refused")
    check(server.requested("pkg_0202.exe") == 0, "and nothing it names is fetched")

    print("-- rollout, bucket 42", flush=True)
    zt_e2e.run_windows(["reg", "add", zt_e2e.USER_STATE_KEY, "/v", "RolloutBucket", "/t", "REG_DWORD",
                        "/d", "42", "/f"])
    for share, taken in ((40, False), (43, True)):
        # The second key's chain goes on: once it is accepted, the first key's publications are refused.
        served = descriptor("0202", "pkg_0202.exe", len(package), data_bytes=package, seq=3 + share,
                            updater_version=following, updater_file="ZT_AutoUpdate_next.exe",
                            updater_length=len(mislabelled), updater_bytes=mislabelled, rollout=share,
                            key=SECOND_KEY)
        server.serve("version.txt", served)
        server.serve("ZT_AutoUpdate_next.exe", mislabelled)
        log = check_cycle("data check at tick 155", "%d %%: the checks ran" % share)
        if taken:
            check(wait_until(lambda: "version 0202 installed" in tool.log(), 30), "43 %: the new data is installed")
            check(wait_until(lambda: "version %s offered; downloading" % following in tool.log(), 30),
                  "43 %: the new executable is fetched")
        else:
            check(wait_until(lambda: "(bucket 42) keeps version 0201" in tool.log(), 30), "40 %: the data waits")
            log = tool.log()
            check("is offered to 40 % of installations; this one (bucket 42) keeps " + current in log,
                  "40 %: the executable waits")
            check(server.requested("pkg_0202.exe") == 0 and server.requested("ZT_AutoUpdate_next.exe") == 0,
                  "40 %: nothing is fetched")
            check(b"data_version=0201" in open(os.path.join(root, "version.txt"), "rb").read(),
                  "40 %: the installed data stays")
    tool.stop()

    print("-- a release build and the environment's server", flush=True)
    release = os.path.join(e2e.build, "ZT_AutoUpdate_fixed_server.exe")
    shutil.copy(release, zt_e2e.to_unix(tool.win_exe))
    requests = server.requested("version.txt")
    before = len(tool.log())
    tool.start(" /autohide", env=env)
    scheduled_check(tool)
    check(wait_until(lambda: "ZT_UPDATE_SERVER in the environment is ignored by this build" in tool.log()[before:],
                     30), "the release build says it ignores the environment's server")
    check(wait_until(lambda: "download version.txt" in tool.log()[before:], 30), "and fetches from its own")
    check(server.requested("version.txt") == requests, "the environment's server was not asked")


def main():
    run_scenario(run)


if __name__ == "__main__":
    main()
