"""A user's whole life with the installer: a silent install puts the tool, its shortcut, its
auto-start value and its Apps & Features entry in place without starting it; the tool started by
the auto-start value runs hidden; the entry's quiet uninstall ends it and removes all of it but
the downloaded data."""
import os
import sys
import time

import zt_e2e
from install_rig import InstallRig, check, run_value, set_run_value, wait_for


def run(rig):
    data_marker = zt_e2e.to_unix(zt_e2e.UPDATE_ROOT + r"\Download\kept.txt")
    os.makedirs(os.path.dirname(data_marker), exist_ok=True)
    with open(data_marker, "w") as f:
        f.write("downloaded data")

    rc, seconds = rig.install_silently()
    check(rc == 0, "silent install ended with 0 (%d)" % rc)
    print("silent install took %.1f s" % seconds)
    check(rig.installed_bytes() == rig.built_bytes(), "%s is the built exe" % rig.exe)
    check(os.path.exists(zt_e2e.to_unix(rig.uninstaller)), "uninstaller beside it")
    with open(zt_e2e.to_unix(rig.shortcut), "rb") as f:
        link = f.read()
    check(rig.exe.encode("utf-16-le") in link or rig.exe.encode() in link, "Start-menu shortcut points at the exe")
    check(run_value("HKCU") == rig.autostart_command, "HKCU Run value: quoted path and /autohide (%s)" % run_value("HKCU"))
    check(run_value("HKLM", view=32) is None, "no machine-wide Run value written")

    entry = rig.uninstall_entry()
    exe_size_kb = len(rig.built_bytes()) // 1024
    expected = [
        ("DisplayName", "REG_SZ", "安全驾驶导引系统自动升级工具"),
        ("DisplayVersion", "REG_SZ", rig.version),
        ("Publisher", "REG_SZ", rig.company),
        ("DisplayIcon", "REG_SZ", rig.exe + ",0"),
        ("UninstallString", "REG_SZ", '"%s"' % rig.uninstaller),
        ("QuietUninstallString", "REG_SZ", '"%s" /S' % rig.uninstaller),
        ("InstallLocation", "REG_SZ", rig.folder),
        ("NoModify", "REG_DWORD", 1),
        ("NoRepair", "REG_DWORD", 1),
    ]
    for name, kind, data in expected:
        check(entry.get(name) == (kind, data), "uninstall entry %s = %r (%r)" % (name, data, entry.get(name)))
    size = entry.get("EstimatedSize", ("", 0))
    check(size[0] == "REG_DWORD" and exe_size_kb <= size[1] <= 4 * exe_size_kb,
          "EstimatedSize %r KB covers the %d KB exe" % (size, exe_size_kb))

    time.sleep(2)
    check(not rig.window_exists(), "a silent install does not start the tool")

    pid = rig.start_as_autostart()
    time.sleep(1.5)
    check(not rig.window_visible(), "started by the Run value it stays hidden")
    check(" start version %s" % rig.version in rig.e2e.read_log(), "the installed tool is version %s" % rig.version)

    # The tool itself may have written the machine-wide value for this installation.
    set_run_value("HKLM", rig.autostart_command, view=32)
    seconds = rig.uninstall_quietly()
    print("silent uninstall took %.1f s" % seconds)
    check(wait_for(lambda: not rig.e2e.running(pid), 10), "the running tool was ended")
    check(not os.path.exists(zt_e2e.to_unix(rig.folder)), "install folder removed")
    check(not os.path.exists(zt_e2e.to_unix(rig.shortcut)), "shortcut removed")
    check(run_value("HKCU") is None, "HKCU Run value removed")
    check(run_value("HKLM", view=32) is None, "HKLM (32-bit view) Run value of this installation removed")
    check(os.path.exists(data_marker), "downloaded data in %s kept" % zt_e2e.UPDATE_ROOT)


def main():
    rig = InstallRig.from_args()
    with rig:
        try:
            run(rig)
        except Exception as e:  # a failed check or a broken rig: both fail the scenario
            print("FAIL:", e)
            print("log:\n" + rig.e2e.read_log())
            sys.exit(1)
    print("PASS")


if __name__ == "__main__":
    main()
