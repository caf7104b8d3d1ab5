"""The installer's pages over a running copy, as a user clicks through them (the "next" button of
each page, auto-start box left as it comes): the running copy is ended, the file replaced, the
auto-start value written, and the new copy started, visible, when the last page is closed. Each
page the user sees is kept as build/win64/screenshots/installer-N.png."""
import os
import subprocess

import zt_e2e
from install_rig import check, run_scenario, run_value, run_windows, set_run_value, wait_for

CAPTION = "安全驾驶导引系统自动升级工具 %s 安装"
WM_COMMAND, IDOK = 0x0111, 1


def run(rig):
    check(rig.install_silently()[0] == 0, "installed silently")
    with open(zt_e2e.to_unix(rig.exe), "ab") as f:
        f.write(b"older copy")
    old_pid = rig.start_as_autostart()
    set_run_value("HKCU", None)  # so that only the finish page can have written it
    installer = rig.e2e.start('"%s"' % zt_e2e.to_windows(rig.installer))
    check("running" in installer, "installer runs (%s)" % installer)
    caption = CAPTION % rig.version

    shots = []

    def keep_page(text):
        rc, lines = run_windows([rig.probe_exe, "rect", text])
        if rc != 0 or not lines:
            return
        x, y, w, h = (int(v) for v in lines[0].split())
        path = os.path.join(rig.e2e.build, "screenshots", "installer-%d.png" % (len(shots) + 1))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.call(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage", path],
                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        page = open(path, "rb").read() if os.path.exists(path) else b""
        if page and (not shots or page != shots[-1]):
            shots.append(page)
        elif page:
            os.remove(path)  # the page seen last time

    def next_page():
        # The button is disabled while the files are installed: a click then does nothing. After
        # the first page the caption ends in a blank.
        for text in (caption, caption + " "):
            keep_page(text)
            run_windows([rig.probe_exe, "post-to", text, WM_COMMAND, IDOK])
        return not rig.e2e.running(installer["pid"])

    check(wait_for(next_page, 60, step=1.0), "clicked through to the end")
    print("installer pages kept: %d" % len(shots))
    check(not rig.e2e.running(old_pid), "the running copy was ended")
    started = wait_for(lambda: rig.window("visible"), 30)
    # Started by the installer, not by us: the harness ends it afterwards all the same.
    rc, lines = run_windows([rig.probe_exe, "find", "main"])
    rig.e2e.pids += [field[4:] for field in (lines[:1] or [""])[0].split() if field.startswith("pid=")]
    check(started, "the new copy was started, visible")
    check(rig.installed_bytes() == rig.built_bytes(), "its file was replaced")
    check(run_value("HKCU") == rig.autostart_command, "auto-start box ticked by default: Run value written")


def main():
    run_scenario(run)


if __name__ == "__main__":
    main()
