"""Start-up of the main window: the information text, the hidden start by argument 1, the
argument-less start. The real exe under Wine, driven by the probe."""
import time

from probe import WM_LBUTTONUP, check, scenario, wait_until
from zt_ids import IDC_BTN_START_UPDATE, IDC_EDIT_INFO, WM_TRAY_NOTIFY, kTrayIconId

# A descriptor as the server serves it: GBK bytes.
DESCRIPTOR = "data_version=9320\r\ndata_time=2026-11-30\r\ndata_desc=华南地区\r\n".encode("gbk")
FILLED = ("\r\n数据版本: 9320\r\n\r\n更新日期: 2026-11-30\r\n\r\n更新区域: 华南地区\r\n"
          "\r\n\r\n后台运行时若有新数据版本发布将自动下载。\r\n\r\n当设备连接时可自动检测并提示升级。")
WAITING = "\r\n正在更新，请稍候...."


def no_question_for(tool, seconds):
    rc, lines = 0, []
    end = time.time() + seconds
    while time.time() < end:
        rc, lines = tool.probe("box")
        if rc == 0:
            return False
        time.sleep(0.3)
    return True


def run(tool):
    # Both files present: the three values (converted from GBK) and the two notes.
    tool.install_local_files(data_program=True, descriptor=DESCRIPTOR)
    tool.start(" /visible")
    check(tool.visible(), "visible start shows the window")
    check(tool.text(IDC_EDIT_INFO) == FILLED, "information text lists version, date, region and notes")
    check(tool.out("enabled", IDC_BTN_START_UPDATE) == "1", "button 1004 enabled when the files are present")
    check(tool.out("shown", IDC_BTN_START_UPDATE) == "0", "button 1004 stays hidden")
    check(tool.tray_shown(), "tray icon added")
    # The auto-start question comes a second later; answer it, then photograph the window.
    check(wait_until(lambda: tool.probe("box")[0] == 0, 10), "auto-start question appears")
    tool.probe("box-answer", "no")
    check(wait_until(lambda: tool.probe("box")[0] != 0, 10), "question answered")
    tool.screenshot("main", "main_window.png")
    log = tool.log()
    check("window start visible" in log, "log tells a visible start")
    tool.stop()

    # data_update.exe missing: the waiting text and button IDC_BTN_START_UPDATE disabled.
    tool.clean_update_root()
    tool.install_local_files(data_program=False, descriptor=DESCRIPTOR)
    tool.start(" /visible")
    check(tool.text(IDC_EDIT_INFO) == WAITING, "waiting text when data_update.exe is missing")
    check(tool.out("enabled", IDC_BTN_START_UPDATE) == "0", "button 1004 disabled when the files are missing")
    tool.stop()
    tool.clean_update_root()

    # "autohide" anywhere in argument 1, in any case: hidden, no question.
    tool.install_local_files(data_program=True, descriptor=DESCRIPTOR)
    for arg in (" /autohide", " /AUTOHIDE", " x/autohidex"):
        tool.start(arg)
        check(wait_until(lambda: not tool.visible(), 5), "%s: window hidden" % arg.strip())
        check(no_question_for(tool, 2.5), "%s: no auto-start question" % arg.strip())
        check(tool.running(), "%s: still running in the tray" % arg.strip())
        check(tool.tray_shown(), "%s: tray icon shown" % arg.strip())
        # Hidden, it was refreshed and centred: shown by the tray it has its full size back.
        tool.post(WM_TRAY_NOTIFY, kTrayIconId, WM_LBUTTONUP)
        check(wait_until(lambda: tool.visible(), 5), "%s: a tray click shows it" % arg.strip())
        x, y, w, h = (int(v) for v in tool.out("rect", "main").split())
        check(w > 300 and h > 200, "%s: normal size restored (%dx%d)" % (arg.strip(), w, h))
        check(tool.text(IDC_EDIT_INFO) == FILLED, "%s: information text filled" % arg.strip())
        check("start hidden" in tool.log(), "%s: log tells a hidden start" % arg.strip())
        tool.stop()

    # The program path alone, unquoted, in a folder without blanks: argument count 0.
    from probe import Tool
    plain = Tool(tool.e2e, folder="C:\\ZTPlain")
    plain.start("", quoted=False)
    check(plain.visible(), "no arguments: visible")
    check(no_question_for(plain, 2.5), "no arguments: no auto-start question")
    plain.probe("tick", 1, 1)
    check(plain.text(IDC_EDIT_INFO) == FILLED, "no arguments: text filled at the first watch tick")
    plain.stop()


if __name__ == "__main__":
    scenario(run)
