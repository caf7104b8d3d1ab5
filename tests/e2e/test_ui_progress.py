"""The workers' messages: balloons, the progress window, the busy flag and the information text.
Messages are posted by the probe as the workers would post them."""
from probe import WM_LBUTTONUP, check, scenario, wait_until
from zt_ids import (IDC_BTN_BACKGROUND, IDC_EDIT_INFO, WM_DATA_DONE, WM_DATA_DOWNLOADING, WM_DOWNLOAD_PROGRESS,
                    WM_TRAY_NOTIFY, WM_UPDATER_DONE, WM_UPDATER_DOWNLOADING, kTrayIconId)

DESCRIPTOR = "data_version=9321\r\ndata_time=2026-12-01\r\ndata_desc=全国\r\n".encode("gbk")
WAITING = "\r\n正在更新，请稍候...."


def progress(tool):
    rc, lines = tool.probe("progress")
    if rc != 0 or not lines:
        return None
    fields = dict(part.split("=", 1) for part in lines[0].split(" ", 2))
    return fields


def run(tool):
    tool.set_run_value("x")
    tool.install_local_files(data_program=True, descriptor=DESCRIPTOR)
    tool.start(" /visible")
    check(tool.visible(), "window shown")

    # Visible: the data download opens the progress window at 0 and makes the tool busy.
    tool.post(WM_DATA_DOWNLOADING)
    check(wait_until(lambda: progress(tool), 5), "WM_DATA_DOWNLOADING opens the progress window")
    p = progress(tool)
    check(p["visible"] == "1" and p["pos"] == "0", "progress window visible at 0 (%s)" % p)
    check(p["text"] == "正在从服务器下载最新升级包...", "progress text")
    check(tool.out("find", "progress").startswith("hwnd="), "progress window is a top-level window")
    tool.post(WM_DOWNLOAD_PROGRESS, 40)
    check(wait_until(lambda: progress(tool)["pos"] == "40", 5), "WM_DOWNLOAD_PROGRESS 40 moves the bar")
    tool.screenshot("progress", "progress_window.png")
    tool.post(WM_DOWNLOAD_PROGRESS, 150)
    check(wait_until(lambda: progress(tool)["pos"] == "100", 5), "a percentage above 100 shows a full bar")
    tool.probe("tick", 1, 3)  # a refresh while busy
    check(tool.text(IDC_EDIT_INFO) == WAITING, "busy: waiting text")
    log = tool.log()
    check("balloon 正在从服务器下载最新升级包..." in log, "balloon logged")

    tool.post(WM_DATA_DONE, 1)
    check(wait_until(lambda: progress(tool) is None, 5), "WM_DATA_DONE closes the progress window")
    check("数据版本: 9321" in tool.text(IDC_EDIT_INFO), "WM_DATA_DONE rebuilds the text (busy cleared)")
    check("最新升级数据已下载完成。 | 版本:9321 发布日期:2026-12-01" in tool.log(), "completion balloon logged")

    # A second start message while the window exists: text changed, bar back to 0.
    tool.post(WM_UPDATER_DOWNLOADING)
    check(wait_until(lambda: progress(tool), 5), "WM_UPDATER_DOWNLOADING opens the progress window")
    tool.post(WM_DOWNLOAD_PROGRESS, 70)
    check(wait_until(lambda: progress(tool)["pos"] == "70", 5), "bar at 70")
    tool.post(WM_DATA_DOWNLOADING)
    check(wait_until(lambda: progress(tool)["pos"] == "0", 5), "second start message sets the bar back to 0")
    check(progress(tool)["text"] == "正在从服务器下载最新升级包...", "second start message changes the text")
    # The updater's "same version" answer while the window shows the data download leaves it.
    tool.post(WM_UPDATER_DONE, 0)
    tool.sync()
    check(progress(tool) is not None, "WM_UPDATER_DONE 0 leaves the data download's progress window")
    tool.post(WM_DATA_DONE, 0)
    check(wait_until(lambda: progress(tool) is None, 5), "WM_DATA_DONE 0 closes it")
    check("数据版本: 9321" in tool.text(IDC_EDIT_INFO), "WM_DATA_DONE 0 clears busy and refreshes")
    # A failed updater download must not leave its own progress window standing.
    tool.post(WM_UPDATER_DOWNLOADING)
    check(wait_until(lambda: progress(tool), 5), "WM_UPDATER_DOWNLOADING opens the progress window again")
    tool.post(WM_UPDATER_DONE, 0)
    check(wait_until(lambda: progress(tool) is None, 5), "WM_UPDATER_DONE 0 closes the updater's progress window")
    check(tool.running(), "WM_UPDATER_DONE 0 keeps the program running")

    # Hidden in the tray: balloon only, no progress window; progress messages change nothing.
    tool.probe("click", IDC_BTN_BACKGROUND)
    check(wait_until(lambda: not tool.visible(), 5), "hidden")
    tool.post(WM_DATA_DOWNLOADING)
    tool.post(WM_DOWNLOAD_PROGRESS, 50)
    tool.sync()
    check(progress(tool) is None, "hidden: no progress window")
    tool.post(WM_DATA_DONE, 0)
    tool.sync()
    check(progress(tool) is None, "hidden: still none after WM_DATA_DONE")
    tool.post(WM_TRAY_NOTIFY, kTrayIconId, WM_LBUTTONUP)
    check(wait_until(lambda: tool.visible(), 5), "shown again")
    check("数据版本: 9321" in tool.text(IDC_EDIT_INFO), "text rebuilt after the hidden download")


if __name__ == "__main__":
    scenario(run)
