"""A user's life with the installer. A silent install puts the tool, its shortcut, its auto-start
value and its Apps & Features entry in place without starting it; the tool started by that value
runs hidden; a second silent install over the running copy ends it (its tray menu's exit command and
/exit), replaces the file and does not start the new one; the entry's quiet uninstall removes everything but the downloaded data
and a machine-wide Run value that starts another installation.

Not covered: an interactive install starts the tool from its last page (no scenario drives the
installer's pages). Wine, like Windows, refuses to overwrite or delete a running exe, so a tool
that ignores /exit makes the installer give up after its retries (exit code 2)."""
import os
import time

import zt_e2e
from install_rig import UNINSTALL_KEY, check, read_key, run_scenario, run_value, set_run_value, wait_for


def run(rig):
    data_marker = zt_e2e.to_unix(zt_e2e.UPDATE_ROOT + r"\Download\kept.txt")
    os.makedirs(os.path.dirname(data_marker), exist_ok=True)
    with open(data_marker, "w") as f:
        f.write("downloaded data")

    rc, seconds = rig.install_silently()
    check(rc == 0, "silent install ended with 0 (%d) in %.1f s" % (rc, seconds))
    check(rig.installed_bytes() == rig.built_bytes(), "%s is the built exe" % rig.exe)
    with open(zt_e2e.to_unix(rig.shortcut), "rb") as f:
        check(rig.exe.encode("utf-16-le") in f.read(), "Start-menu shortcut points at the exe")
    check(run_value("HKLM", view=32) is None, "no machine-wide Run value written")
    entry = read_key(UNINSTALL_KEY)
    size_kb = len(rig.built_bytes()) // 1024
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
        check(entry.get(name) == (kind, data), "entry %s = %r (%r)" % (name, data, entry.get(name)))
    kind, size = entry.get("EstimatedSize", (None, 0))
    check(kind == "REG_DWORD" and size_kb <= size <= 4 * size_kb, "EstimatedSize %d KB covers the exe" % size)
    time.sleep(2)
    check(not rig.window("find"), "a silent install does not start the tool")

    # Bytes past the image do not stop the exe running, and tell the old copy from the new one.
    with open(zt_e2e.to_unix(rig.exe), "ab") as f:
        f.write(b"older copy")
    old_pid = rig.start_as_autostart()
    time.sleep(1.5)
    check(not rig.window("visible"), "started by the Run value it stays hidden")
    check(" start version %s" % rig.version in rig.e2e.read_log(), "the installed tool is version %s" % rig.version)

    rc, seconds = rig.install_silently()
    check(rc == 0, "install over the running copy ended with 0 (%d) in %.1f s" % (rc, seconds))
    check(not rig.e2e.running(old_pid), "the running copy was ended")
    check(rig.installed_bytes() == rig.built_bytes(), "its file was replaced")
    time.sleep(2)
    check(not rig.window("find"), "a silent upgrade does not start the new copy")
    check(run_value("HKCU") == rig.autostart_command, "HKCU Run value still right")

    # The tool may have written the machine-wide value for this installation.
    set_run_value("HKLM", rig.autostart_command, view=32)
    pid = rig.start_as_autostart()
    print("quiet uninstall took %.1f s" % rig.uninstall_quietly())
    check(wait_for(lambda: not rig.e2e.running(pid), 10), "the running tool was ended")
    check(not os.path.exists(zt_e2e.to_unix(rig.shortcut)), "shortcut removed")
    check(run_value("HKCU") is None, "HKCU Run value removed")
    check(run_value("HKLM", view=32) is None, "this installation's HKLM (32-bit view) Run value removed")
    check(os.path.exists(data_marker), "downloaded data in %s kept" % zt_e2e.UPDATE_ROOT)

    # A machine-wide value that starts another installation is not this uninstaller's to remove.
    other = r'"C:\Program Files (x86)\ZT_AutoUpdate\ZT_AutoUpdate.exe" /autohide'
    check(rig.install_silently()[0] == 0, "installed again")
    set_run_value("HKLM", other, view=32)
    rig.uninstall_quietly()
    check(run_value("HKLM", view=32) == other, "another installation's HKLM Run value kept")


def main():
    run_scenario(run)


if __name__ == "__main__":
    main()
