"""Installed over a running copy this installation did not start: a tool of the earlier kind (the
stand-in: its caption, its mutex, its end on the tray menu's exit command) or this tool run from
another folder. The installer asks it to end as its tray menu does, and the new tool, started by its
Run value, then runs (its main window is up, so it took the single-instance mutex). A copy that
ignores the command is left running: the finish page and the installer's log say what still runs and
how to end it, and the new tool is not started; a silent install says it in its log.

Not covered: a copy run as administrator, whose window refuses the installer's message (Wine has no
integrity levels)."""
import os
import shutil
import subprocess

import zt_e2e
from install_rig import check, run_scenario, run_windows, wait_for

ELSEWHERE = r"C:\Program Files (x86)\ZT_AutoUpdate"
TOOL_CAPTION = "安全驾驶导引系统——自动升级工具 V2.6"
INSTALLER_CAPTION = "安全驾驶导引系统自动升级工具 %s 安装"
STILL_RUNNING = ("另一份自动升级工具（可能是旧版本）仍在运行，未能自动结束，所以新版本暂未启动。"
                 "请右键单击通知区域中它的图标并选择“退出”，或注销后重新登录。")
AUTOSTART_BOX = "开机时自动在后台运行（自动下载升级）"
WM_COMMAND, IDOK = 0x0111, 1


def place_elsewhere(source):
    """Copies `source` to ELSEWHERE under the tool's name; returns its Windows path."""
    target = zt_e2e.to_unix(ELSEWHERE)
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    shutil.copy(source, os.path.join(target, zt_e2e.EXE_NAME))
    return ELSEWHERE + "\\" + zt_e2e.EXE_NAME


def start_elsewhere(rig, source, args=""):
    exe = place_elsewhere(source)
    report = rig.e2e.start('"%s"%s' % (exe, args), env=zt_e2e.NO_SERVER)
    check("running" in report, "%s runs (%s)" % (exe, report))
    # Hidden, as after a start at log-on: its window exists all the same.
    check(wait_for(lambda: run_windows([rig.probe_exe, "find", TOOL_CAPTION])[0] == 0, 20),
          "its window \"%s\" exists" % TOOL_CAPTION)
    return exe, report["pid"]


def standin_notes(exe):
    try:
        with open(zt_e2e.to_unix(exe) + ".log", encoding="ascii") as f:
            return f.read()
    except OSError:
        return ""


def ends_on_request(rig):
    standin = os.path.join(rig.e2e.build, "standins", "earlier_standin.exe")
    for what, source, args in (("a tool of the earlier kind", standin, ""),
                               ("this tool from another folder", rig.built_exe, " /autohide")):
        print("--", what)
        rig.remove_everything()
        exe, pid = start_elsewhere(rig, source, args)
        rc, seconds = rig.install_silently()
        check(rc == 0, "silent install ended with 0 (%d) in %.1f s" % (rc, seconds))
        check(not rig.e2e.running(pid), "%s was ended by the installer" % what)
        if source == standin:
            check(standin_notes(exe).splitlines() == ["exit command wParam=0x406", "ended"],
                  "it ended by itself on the tray menu's exit command, sent once (%r)" % standin_notes(exe))
        else:
            check(" quit tray menu exit command" in rig.e2e.read_log(), "it ended as its tray menu's 退出 ends it")
        new_pid = rig.start_as_autostart()
        rc, lines = run_windows([rig.probe_exe, "find", "main"])
        check(rc == 0 and "pid=%s " % new_pid in lines[0] + " ", "the new tool's main window is up (%s)" % lines)
        check(rig.e2e.kill(new_pid), "the new tool ended for the next case")


def finish_page_says_so(rig):
    rig.remove_everything()
    standin = os.path.join(rig.e2e.build, "standins", "earlier_standin.exe")
    exe, pid = start_elsewhere(rig, standin, " --ignore-exit")
    installer = rig.e2e.start('"%s"' % zt_e2e.to_windows(rig.installer))
    check("running" in installer, "installer runs (%s)" % installer)
    caption = INSTALLER_CAPTION % rig.version
    finish = []

    def step():
        # The page is read before a click, and a click is given only on the welcome page and on the
        # finish page: the files page moves on by itself, so a click there could skip the finish page.
        for text in (caption, caption + " "):
            rc, lines = run_windows([rig.probe_exe, "texts", text])
            if rc != 0:
                continue
            texts = [line[5:] for line in lines if line.startswith("text=")]
            if AUTOSTART_BOX in texts:
                finish[:] = texts
                keep_screenshot(rig, text)
            elif not any("欢迎" in t for t in texts):
                continue
            run_windows([rig.probe_exe, "post-to", text, WM_COMMAND, IDOK])
        return not rig.e2e.running(installer["pid"])

    check(wait_for(step, 90, step=0.5), "clicked through to the end")
    page = " ".join(finish).replace("\\r\\n", "")
    check(STILL_RUNNING in page, "the finish page says what still runs and how to end it (%s)" % page)
    check(rig.e2e.running(pid), "the copy that ignores the command still runs")
    check(standin_notes(exe).startswith("exit command wParam=0x406"), "it was asked all the same")
    check(STILL_RUNNING in install_log(rig), "the installer's log says so too:\n" + install_log(rig))

    # Silently, over this installation's own copy too: /exit waits for the mutex in vain as well.
    rc, seconds = rig.install_silently()
    check(rc == 0 and seconds < 20, "silent install ended with 0 (%d) in %.1f s" % (rc, seconds))
    log = install_log(rig)
    for line in ("结束结果：1", "单实例互斥体 Zant_AutoUpdate_Sem 仍被占用", STILL_RUNNING):
        check(line in log, "a silent install's log says %s:\n%s" % (line, log))
    check(rig.e2e.running(pid), "the copy still runs")
    check(rig.e2e.kill(pid), "the stand-in ended by the harness")


def install_log(rig):
    with open(zt_e2e.to_unix(rig.install_log), "rb") as f:
        return f.read().decode("utf-16")


def keep_screenshot(rig, caption):
    rc, lines = run_windows([rig.probe_exe, "rect", caption])
    if rc != 0 or not lines:
        return
    x, y, w, h = (int(v) for v in lines[0].split())
    path = os.path.join(rig.e2e.build, "screenshots", "installer-still-running.png")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    subprocess.call(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage", path],
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run(rig):
    ends_on_request(rig)
    finish_page_says_so(rig)
    shutil.rmtree(zt_e2e.to_unix(ELSEWHERE), ignore_errors=True)


def main():
    run_scenario(run)


if __name__ == "__main__":
    main()
