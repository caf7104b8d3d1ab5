"""A device with older data is plugged in: reported older at the first poll the launch spacing
allows (tick 42), the window hides while the data-update program runs and the tool waits for it,
the device holds the new data afterwards and is reported up to date only once the forget timer
has fired."""
import watch_rig as R
from watch_rig import check
from zt_ids import IDT_FORGET_DEVICE


def run(rig):
    rig.install_local(2002)
    rig.start_simulator(["device pnv1 version=2001 id=ZT000001"])
    rig.start_tool()
    check(rig.tool.visible(), "main window shown")
    # Polls before tick 42 see the device and hold back (logged once, with its tick).
    _, early = rig.wait_for("device", "waiting for the launch spacing", timeout=30)
    check(early.tick is not None and early.tick <= 41, "held back at tick %s" % early.tick)
    check(not rig.find("balloon", ""), "no balloon before tick 42")

    rig.ticks_in_background(45)
    check(R.wait_until(lambda: rig.tool.exists("updater"), 60), "the data-update program runs")
    check(not rig.tool.visible(), "main window hidden while it runs")
    _, older = rig.wait_for("device", "older, data update started")
    rig.check_first_allowed_report(older)
    check("data version 2001" in older.details and "newest 2002" in older.details, "versions in the log: %s" % older)
    rig.wait_for("balloon", R.BALLOON_OLDER)
    rig.wait_for("updater-launch", "the data-update program ended", timeout=60)
    check(rig.tick_job.wait(timeout=120) == 0, "ticks delivered (the tool waited for the program)")
    check(len(rig.find("device", "data update started")) == 1, "reported older once")

    # The device now holds 2002; remembered, so nothing is said about it.
    mark = rig.mark()
    rig.ticks(9)
    _, same = rig.wait_for("device", "data version 2002")
    check(same.details.split(": ")[-1].startswith("already reported"), "same device not reported again: %s" % same)
    check(not rig.find("balloon", "", after=mark), "no balloon before the forget timer")
    check(not [e for _, e in rig.find("device", "", after=mark) if "already reported" not in e.details],
          "no report before the forget timer")

    rig.ticks(1, timer=IDT_FORGET_DEVICE)
    mark = rig.mark()
    rig.ticks(3)
    rig.wait_for("balloon", R.BALLOON_UP_TO_DATE + "2002", after=mark)
    _, up = rig.wait_for("device", "up to date", after=mark)
    check("id \"ZT000001\"" in up.details, "reported device is the one plugged in: %s" % up)


R.scenario(run)
