"""The main window's keys, system commands, tray clicks and menu, the ways the program ends, the
shell's "TaskbarCreated" and the About box. The real exe under Wine, driven by the probe."""
from probe import (SC_CLOSE, SC_MINIMIZE, WM_CLOSE, WM_COMMAND, WM_KEYDOWN, WM_LBUTTONUP, WM_RBUTTONUP, WM_SYSCOMMAND,
                   check, scenario, wait_until)
from zt_ids import (IDC_BTN_BACKGROUND, IDC_BTN_CLOSE, IDM_SYS_ABOUT, WM_TRAY_NOTIFY, WM_UPDATER_DONE, kSysCommandShow,
                    kTrayIconId)

VK_RETURN = 0x0D
VK_ESCAPE = 0x1B


def hidden(tool):
    return wait_until(lambda: not tool.visible(), 5)


def shown(tool):
    return wait_until(lambda: tool.visible(), 5)


def run(tool):
    tool.set_run_value("x")  # no auto-start question in the way
    tool.start(" /visible")
    check(shown(tool), "window shown")

    # Enter, Escape and WM_CLOSE change nothing.
    tool.post(WM_KEYDOWN, VK_RETURN)
    tool.post(WM_KEYDOWN, VK_ESCAPE)
    tool.post(WM_COMMAND, 1)  # IDOK, as Enter produces
    tool.post(WM_COMMAND, 2)  # IDCANCEL, as Escape produces
    tool.post(WM_CLOSE)
    tool.sync()  # WM_NULL: every posted message above has been handled
    check(tool.visible() and tool.running(), "Enter, Escape and WM_CLOSE do nothing")

    # Minimize and close hide; the tray's left click, the show command bring it back.
    tool.post(WM_SYSCOMMAND, SC_MINIMIZE)
    check(hidden(tool), "minimize hides")
    check(tool.out("find").endswith("visible=0") and tool.running(), "not minimized to the taskbar: hidden, running")
    tool.post(WM_TRAY_NOTIFY, kTrayIconId, WM_LBUTTONUP)
    check(shown(tool), "tray left click shows")
    tool.post(WM_SYSCOMMAND, SC_CLOSE)
    check(hidden(tool), "close box hides")
    check(tool.running() and tool.tray_shown(), "program and tray icon stay after the close box")
    tool.post(WM_SYSCOMMAND, kSysCommandShow)
    check(shown(tool), "WM_SYSCOMMAND 0x0401 shows")
    tool.probe("click", IDC_BTN_BACKGROUND)
    check(hidden(tool), "后台运行 hides")
    tool.post(WM_TRAY_NOTIFY, kTrayIconId, WM_LBUTTONUP)
    check(shown(tool), "shown again")

    # The About box from the system menu.
    tool.post(WM_SYSCOMMAND, IDM_SYS_ABOUT)
    check(wait_until(lambda: tool.visible("about"), 5), "About box opens")
    tool.screenshot("about", "about_box.png")
    tool.probe("post-to", "about", WM_COMMAND, 1)
    check(wait_until(lambda: not tool.exists("about"), 5), "About box closes with 确定")

    # "TaskbarCreated": the icon is added again, the program keeps running.
    tool.probe("post", "TaskbarCreated")
    tool.sync()
    check(tool.running() and tool.tray_shown(), "TaskbarCreated: still running, icon present")
    check("taskbar created again" in tool.log(), "TaskbarCreated: logged")
    check("Shell_NotifyIconW NIM_ADD" not in tool.log(), "TaskbarCreated over an icon still there: no failure")

    # The shell loses the icon without a broadcast: the next balloon puts it back first.
    rc, lines = tool.probe("tray-delete")
    check(rc == 0, "icon removed behind the tool's back (%s)" % lines)
    check(wait_until(lambda: not tool.tray_shown(), 5), "the tray is empty")
    tool.post(WM_UPDATER_DONE, 0)  # a failed updater download: its balloon is taken down
    check(wait_until(tool.tray_shown, 5), "the next balloon adds the icon again")
    check("no longer holds the icon" in tool.log(), "the loss is logged")
    check(tool.running(), "still running")

    # The tray menu: three items; dismissing it changes nothing.
    tool.post(WM_TRAY_NOTIFY, kTrayIconId, WM_RBUTTONUP)
    check(wait_until(lambda: tool.probe("menu")[0] == 0, 5), "tray menu opens")
    # Wine does not let another process read a menu by its handle, so the count is shown by the
    # keyboard: four steps down in a menu of three items wrap round to the first, 显示主界面.
    print("menu read from outside:", tool.out("menu"))
    tool.probe("menu-dismiss")
    check(wait_until(lambda: tool.probe("menu")[0] != 0, 5), "tray menu dismissed")
    check(tool.running(), "still running after dismissing the menu")
    # 显示主界面 (item 1) shows a hidden window.
    tool.probe("click", IDC_BTN_BACKGROUND)
    check(hidden(tool), "hidden before the menu")
    tool.post(WM_TRAY_NOTIFY, kTrayIconId, WM_RBUTTONUP)
    check(wait_until(lambda: tool.probe("menu")[0] == 0, 5), "tray menu opens again")
    tool.probe("menu-pick", 1)
    check(shown(tool), "显示主界面 (first item) shows the window")
    tool.probe("click", IDC_BTN_BACKGROUND)
    check(hidden(tool), "hidden again")
    tool.post(WM_TRAY_NOTIFY, kTrayIconId, WM_RBUTTONUP)
    check(wait_until(lambda: tool.probe("menu")[0] == 0, 5), "tray menu opens (built anew)")
    tool.probe("menu-pick", 4)
    check(shown(tool), "the fourth step down wraps to 显示主界面: the menu has three items")
    # 退出 (item 3) ends the program and takes the icon away.
    tool.post(WM_TRAY_NOTIFY, kTrayIconId, WM_RBUTTONUP)
    check(wait_until(lambda: tool.probe("menu")[0] == 0, 5), "tray menu opens a third time")
    tool.probe("menu-pick", 3)
    check(tool.wait_ended(), "退出 ends the process")
    check(wait_until(lambda: not tool.tray_shown(), 5), "退出 removes the tray icon")
    check("quit tray menu" in tool.log(), "exit logged")

    # 关闭程序 ends the program.
    tool.start(" /visible")
    check(tool.tray_shown(), "icon back")
    tool.probe("click", IDC_BTN_CLOSE)
    check(tool.wait_ended(), "关闭程序 ends the process")
    check(wait_until(lambda: not tool.tray_shown(), 5), "关闭程序 removes the tray icon")

    # WM_UPDATER_DONE with 1: the new version is in place; the old one ends without claiming a
    # success that only the new one, once it runs, can tell.
    tool.start(" /visible")
    tool.post(WM_UPDATER_DONE, 1)
    check(tool.wait_ended(), "WM_UPDATER_DONE 1 ends the process")
    check("更新成功" not in tool.log(), "no success balloon from the old version")
    tool.pid = None


if __name__ == "__main__":
    scenario(run)
