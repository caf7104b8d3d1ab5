"""A signed new version that runs but never shows a window: started from beside the executable, it
does not confirm within 30 s, is ended, and the old executable, which never left its path, runs
hidden again; nothing is left beside it, it is not fetched again, and the vendor hears of the
rollback once. (test_update_bad_release.py walks the other bad releases.)"""
from test_update_bad_release import Releases
from update_rig import end_unstarted_copy, run_scenario


def run(e2e, tool, server):
    releases = Releases(e2e, tool, server)
    releases.install_package(releases.publish(5, "2.0", "ZT_AutoUpdate_old.exe", releases.old))
    releases.roll_back(7, "3.2", "standins/updater_hangs.exe")
    end_unstarted_copy(tool)
    tool.pid = None
    releases.check_reports((("3.2", "rolled-back"),))


def main():
    # A copy the tool started itself may still run.
    run_scenario(run, on_failure=lambda tool: end_unstarted_copy(tool, wait=False))


if __name__ == "__main__":
    main()
