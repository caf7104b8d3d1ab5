"""Only what the vendor signed is used. The tool under test is built with the key of this test run.
A first start fetches a publication that was tampered with in one way each time: a byte of the
package, of the descriptor or of its signature flipped, or no signature at all. Each is refused,
the reason is logged and nothing is installed. A refused publication changes the information text to a
short cause, is kept once in the history however often it is fetched, and is reported once to the
vendor (unless the machine's policy turns reports off). The untouched publication installs
("verified"), and a later one with a lower sequence number is refused while the installed copy
stays.""" 
import os
import time

import zt_e2e
from probe import check, wait_until
from update_rig import descriptor, run_scenario
from zt_ids import IDC_EDIT_INFO, IDT_WATCH

POLICY = [r"HKLM\Software\Policies\ZT_AutoUpdate", "/v", "SendReports", "/reg:64"]


def reports(server):
    return [e["path"] for e in server.requests("report")]



def flip(data, at):
    return data[:at] + bytes([data[at] ^ 0x01]) + data[at + 1:]


def run(e2e, tool, server):
    check(zt_e2e.SIGNING_KEY is not None, "the build under test has a key (ZT_TEST_SIGNING_KEY)")
    tool.set_run_value("x")
    root = tool.update_root()
    installed = os.path.join(root, "data_update.exe")
    package = open(os.path.join(e2e.build, "simdev", "data_update_standin.exe"), "rb").read()
    signed = descriptor("0201", "pkg_0201.exe", len(package), data_bytes=package, seq=5)
    signature_at = signed.index(b"zt_sig=") + 20
    cases = [
        ("a byte of the package", signed, flip(package, 1000), "refused pkg_0201.exe: its SHA-256"),
        ("a byte of the descriptor", flip(signed, 3), package, "refused: its signature does not verify"),
        ("a byte of the signature", signed[:signature_at] + (b"A" if signed[signature_at:signature_at + 1] != b"A"
                                                            else b"B") + signed[signature_at + 1:],
         package, "refused: its signature does not verify"),
        ("no signature", descriptor("0201", "pkg_0201.exe", len(package), data_bytes=package, seq=5, sign=False),
         package, "refused: not signed"),
    ]
    server.serve("report", b"")
    # Reports off by the machine's policy for the first case.
    zt_e2e.run_windows(["reg", "add"] + POLICY[:3] + ["/t", "REG_DWORD", "/d", "0", "/f"] + POLICY[3:])
    for label, served, body, reason in cases:
        print("-- %s" % label, flush=True)
        tool.clean_update_root()
        server.serve("version.txt", served)
        server.serve("pkg_0201.exe", body)
        sent = len(reports(server))
        tool.start(" /autohide", env={"ZT_UPDATE_SERVER": server.address()})
        tool.probe("tick", IDT_WATCH, 1)
        check(wait_until(lambda: reason in tool.log(), 30), "refused and logged: %s" % reason)
        check(not os.path.exists(installed), "nothing installed")
        if label == "a byte of the package":
            time.sleep(2)
            check(len(reports(server)) == sent, "the policy keeps the refusal from being reported")
            zt_e2e.run_windows(["reg", "delete"] + POLICY + ["/f"])
        if label == "no signature":
            # The refresh fetches it again and again: one history line, one report, and the text says why.
            tool.probe("tick", IDT_WATCH, 20)
            check(wait_until(lambda: "没有签名" in tool.text(IDC_EDIT_INFO), 10),
                  "the information text says why: %r" % tool.text(IDC_EDIT_INFO))
            check("正在更新" not in tool.text(IDC_EDIT_INFO), "instead of the waiting text")
            fetched = len(server.requests("version.txt"))
            check(fetched >= 2, "fetched %d times" % fetched)
            lines = [h for h in e2e.history() if h[1] == "server"]
            check(len(lines) == 1 and lines[0][2] == "refused", "one history line: %s" % lines)
            check(wait_until(lambda: len(reports(server)) == sent + 1, 20), "one report: %s" % reports(server)[sent:])
            check("what=server&result=refused" in reports(server)[-1] and "cause=not-signed" in reports(server)[-1],
                  "it says what was refused and why: %s" % reports(server)[-1])
        tool.stop()

    print("-- the publication as signed", flush=True)
    tool.clean_update_root()
    server.serve("version.txt", signed)
    server.serve("pkg_0201.exe", package)
    tool.start(" /autohide", env={"ZT_UPDATE_SERVER": server.address()})
    tool.probe("tick", IDT_WATCH, 1)
    check(wait_until(lambda: "version 0201 installed" in tool.log(), 30), "installed")
    check("(signature and hash verified)" in tool.log(), "logged as verified")
    check(open(installed, "rb").read() == package, "the package is in place")

    print("-- a later publication with a lower sequence number", flush=True)
    older = descriptor("0202", "pkg_0202.exe", len(package), data_bytes=package, seq=4)
    server.serve("version.txt", older)
    server.serve("pkg_0202.exe", package)
    tool.probe("tick", IDT_WATCH, 160, timeout=600)
    check(wait_until(lambda: "refused: its sequence 4 is lower than the installed 5" in tool.log(), 30),
          "the lower sequence is refused at the scheduled check")
    check(open(os.path.join(root, "version.txt"), "rb").read() == signed, "the installed descriptor stays")
    check("pkg_0202.exe" not in tool.log().split("refused: its sequence")[1], "nothing downloaded after it")


def main():
    run_scenario(run)


if __name__ == "__main__":
    main()
