"""A key rotation cannot be replayed, and what was built before still holds. The build under test
trusts two keys, the first one older. Once a publication signed by the second key is accepted, a
publication signed by the first key is refused however high its sequence (someone on the network
path who kept the first key's last publication cannot serve it for ever), while the installed
package whose version.txt the first key signed still runs. Then, in one more publication of the
second key: an executable of a lower version than the running one is not fetched, and a data
package offered at rollout 0 is not installed even with the local version.txt deleted."""
import base64
import os

import zt_e2e
import ztpublish
from probe import check, wait_until
from update_rig import descriptor, run_scenario, scheduled_check, serve_data, standin_package, user_state
from zt_ids import IDC_BTN_START_UPDATE

SECOND_KEY = zt_e2e.SECOND_SIGNING_KEY


def key_id(private_key):
    """The id the tool keeps for a key: the first 8 bytes of its public point's X, in hex."""
    pem = ztpublish.public_key_pem(private_key).decode()
    der = base64.b64decode("".join(line for line in pem.splitlines() if not line.startswith("-----")))
    return der[27:35].hex()


def run(e2e, tool, server):
    check(zt_e2e.SIGNING_KEY is not None and SECOND_KEY is not None, "the build under test trusts two keys")
    package = standin_package(e2e)
    root = tool.update_root()
    installed = os.path.join(root, "data_update.exe")
    env = {"ZT_UPDATE_SERVER": server.address()}
    tool.set_run_value("x")

    print("-- the first key's publication is installed, then the second key's is accepted", flush=True)
    first = serve_data(server, package, seq=5)
    tool.start(" /autohide", env=env)
    check(wait_until(lambda: "version 0201 installed" in tool.log(), 60), "installed from the first key's publication")
    second = descriptor("0201", "pkg_0201.exe", len(package), data_bytes=package, seq=1, key=SECOND_KEY)
    server.serve("version.txt", second)
    scheduled_check(tool)
    check(wait_until(lambda: user_state("NewestKey") == key_id(SECOND_KEY), 30),
          "the second key's publication is accepted: it is this user's newest key")
    check(open(os.path.join(root, "version.txt"), "rb").read() == first,
          "the same package, so the first key's version.txt stays installed")
    tool.probe("command", IDC_BTN_START_UPDATE)
    check(wait_until(lambda: "the data-update program ended" in tool.log(), 60),
          "the installed package, signed by the first key, still runs")
    tool.stop()

    print("-- the first key's publication, with a higher sequence", flush=True)
    other = package + b"\0"
    server.serve("version.txt", descriptor("0202", "pkg_0202.exe", len(other), data_bytes=other, seq=50))
    server.serve("pkg_0202.exe", other)
    tool.start(" /autohide", env=env)
    scheduled_check(tool)
    refusal = "server version.txt refused: signed by key %s, older than key %s accepted before" % (
        key_id(zt_e2e.SIGNING_KEY), key_id(SECOND_KEY))
    check(wait_until(lambda: refusal in tool.log(), 30), "refused: " + refusal)
    check(server.requested("pkg_0202.exe") == 0, "its package is not fetched")
    check(open(os.path.join(root, "version.txt"), "rb").read() == first, "the installed version.txt stays")
    check(any(line[1:3] == ["server", "refused"] and "旧密钥" in line[-1] for line in e2e.history()),
          "the history says the old key's publication was refused: %s" % e2e.history())
    tool.stop()

    print("-- a lower executable and a halted package, the local version.txt deleted", flush=True)
    lower = package[:-1] + b"\x01"
    halted = descriptor("0203", "pkg_0203.exe", len(package), data_bytes=package, seq=2, key=SECOND_KEY,
                        updater_version="1.0", updater_file="ZT_AutoUpdate_1.0.exe", updater_length=len(lower),
                        updater_bytes=lower, rollout=0)
    server.serve("version.txt", halted)
    server.serve("pkg_0203.exe", package)
    server.serve("ZT_AutoUpdate_1.0.exe", lower)
    os.remove(os.path.join(root, "version.txt"))
    tool.start(" /autohide", env=env)
    check(wait_until(lambda: "version 0203 is halted (data_rollout 0); nothing is installed" in tool.log(), 60),
          "the halted package is not installed, with no version.txt installed")
    scheduled_check(tool)
    check(wait_until(lambda: "not fetched: it is lower than" in tool.log(), 30), "the lower executable is refused")
    check(server.requested("pkg_0203.exe") == 0 and server.requested("ZT_AutoUpdate_1.0.exe") == 0,
          "neither is fetched")
    check(open(installed, "rb").read() == package, "the installed package stays")
    check(not os.path.exists(os.path.join(root, "version.txt")), "and nothing installed a version.txt")


def main():
    run_scenario(run)


if __name__ == "__main__":
    main()
