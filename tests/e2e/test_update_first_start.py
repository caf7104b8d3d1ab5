"""First start on a computer without C:\\ZT_Update: the tool fetches the descriptor and the data
package from the server, installs both, and the window shows the version and the date."""
import os

from probe import check, wait_until
from update_rig import descriptor, run_scenario
from zt_ids import IDC_EDIT_INFO


def run(e2e, tool, server):
    package = open(os.path.join(e2e.build, "simdev", "data_update_standin.exe"), "rb").read()
    served = descriptor("0201", "data_pkg_0201.exe", len(package), data_bytes=package)
    server.serve("version.txt", served)
    server.serve("data_pkg_0201.exe", package)
    root = tool.update_root()
    check(not os.path.exists(root), "no C:\\ZT_Update before the first start")

    tool.start(" /visible", env={"ZT_UPDATE_SERVER": server.address()})
    # The one-time auto-start question comes a second after a visible start.
    if wait_until(lambda: tool.probe("box")[0] == 0, 10):
        tool.probe("box-answer", "no")
    installed = os.path.join(root, "data_update.exe")
    check(wait_until(lambda: os.path.exists(installed) and open(installed, "rb").read() == package, 60),
          "the package is installed as C:\\ZT_Update\\data_update.exe, byte for byte")
    check(wait_until(lambda: os.path.exists(os.path.join(root, "version.txt")) and
                     open(os.path.join(root, "version.txt"), "rb").read() == served, 30),
          "the fetched descriptor is installed as C:\\ZT_Update\\version.txt")
    def shown():
        return tool.text(IDC_EDIT_INFO)

    check(wait_until(lambda: "数据版本: 0201" in shown() and "更新日期: 2026-12-01" in shown(), 30),
          "the window shows version 0201 and date 2026-12-01")
    check("更新区域: 华南地区" in tool.text(IDC_EDIT_INFO), "and the region, from GBK")
    log = tool.log()
    check("download version.txt expected=0 status=200" in log, "log: the descriptor download")
    check("download data_pkg_0201.exe expected=%d status=200 received=%d result=stored" % (len(package), len(package))
          in log, "log: the package download with its length")
    check("version 0201 installed" in log, "log: the installation")
    leftovers = [n for n in os.listdir(os.path.join(root, "Download")) if n.endswith(".ztpart")]
    check(not leftovers, "no temporary files left (%s)" % leftovers)
    tool.screenshot("main", "update_first_start.png")


def main():
    run_scenario(run)


if __name__ == "__main__":
    main()
