"""On a metered connection (a phone's hotspot; a test build takes ZT_NETWORK_METERED=1 for it, as
Wine calls every connection free) the descriptor is still fetched, but the package is not: the
information text says how large it is, the start button is shown, and the history keeps the
deferral once. Pressed, the button fetches and installs it at once."""

from probe import check, wait_until
from update_rig import run_scenario, serve_data, standin_package
from zt_ids import IDC_BTN_START_UPDATE, IDC_EDIT_INFO, IDT_WATCH


def run(e2e, tool, server):
    package = standin_package(e2e)
    serve_data(server, package)
    tool.set_run_value("x")
    tool.start(" /visible", env={"ZT_UPDATE_SERVER": server.address(), "ZT_NETWORK_METERED": "1"})
    tool.probe("tick", IDT_WATCH, 10)
    check(wait_until(lambda: "按流量计费" in tool.text(IDC_EDIT_INFO), 30),
          "the information text says the package waits: %r" % tool.text(IDC_EDIT_INFO))
    size = "%.1f MB" % (len(package) / 1048576)
    check(size in tool.text(IDC_EDIT_INFO), "and how large it is (%s)" % size)
    check(server.requested("version.txt") >= 1 and server.requested("pkg_0201.exe") == 0,
          "the descriptor was fetched, the package was not")
    check(tool.out("shown", IDC_BTN_START_UPDATE) == "1" and tool.out("enabled", IDC_BTN_START_UPDATE) == "1",
          "the start button is shown and enabled")
    tool.probe("tick", IDT_WATCH, 20)
    deferred = [h for h in e2e.history() if h[2] == "deferred"]
    check(len(deferred) == 1 and deferred[0][1] == "data", "the deferral is kept once: %s" % e2e.history())

    tool.probe("click", IDC_BTN_START_UPDATE)
    check(wait_until(lambda: "version 0201 installed" in tool.log(), 30), "pressed: the package is fetched and installed")
    check(server.requested("pkg_0201.exe") == 1, "fetched once")
    tool.probe("tick", IDT_WATCH, 3)
    check(wait_until(lambda: tool.out("shown", IDC_BTN_START_UPDATE) == "0", 10), "the button goes again")
    check("0201" in tool.text(IDC_EDIT_INFO), "the text shows the installed data")


def main():
    run_scenario(run)


if __name__ == "__main__":
    main()
