"""Installing over a running copy: the installer asks the running tool to end (/exit) and waits
for it, replaces the file and, being silent, does not start the new one; the auto-start value and
the entry stay right. Then an uninstall leaves a machine-wide Run value that belongs to another
installation alone.

Not covered here: an interactive install starts the new copy from the finish page (the scenarios
drive no installer pages). Wine, like Windows, refuses to overwrite or delete a running exe: a
tool that ignores /exit makes the installer give up after its retries (exit code 2)."""
import sys
import time

import zt_e2e
from install_rig import InstallRig, check, run_value, set_run_value


def run(rig):
    rc, _ = rig.install_silently()
    check(rc == 0, "first install ended with 0")
    # Make the installed copy tell-apart from the new one; bytes past the image do not stop it running.
    with open(zt_e2e.to_unix(rig.exe), "ab") as f:
        f.write(b"older copy")
    check(rig.installed_bytes() != rig.built_bytes(), "installed copy differs from the new one")
    old_pid = rig.start_as_autostart()

    rc, seconds = rig.install_silently()
    check(rc == 0, "upgrade install ended with 0 (%d)" % rc)
    print("upgrade install over the running copy took %.1f s" % seconds)
    check(not rig.e2e.running(old_pid), "the running copy was ended before the file was replaced")
    check(rig.installed_bytes() == rig.built_bytes(), "the exe was replaced by the new one")
    time.sleep(2)
    check(not rig.window_exists(), "a silent upgrade does not start the new copy")
    check(run_value("HKCU") == rig.autostart_command, "HKCU Run value still right")
    check(rig.uninstall_entry().get("DisplayVersion") == ("REG_SZ", rig.version), "entry names the new version")

    other = r'"C:\Program Files (x86)\ZT_AutoUpdate\ZT_AutoUpdate.exe" /autohide'
    set_run_value("HKLM", other, view=32)
    rig.uninstall_quietly()
    check(run_value("HKLM", view=32) == other, "another installation's machine-wide Run value kept")
    check(run_value("HKCU") is None, "HKCU Run value removed")


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
