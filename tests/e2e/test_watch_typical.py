"""The typical event exactly as scripts/demo plays it, without the screenshots: a fresh machine gets
the package, a device with older data is reported at the first poll the launch spacing allows
(tick 42), the window hides while the data-update program runs, and the device, now current, is
reported up to date only once the forget timer has fired. A change that breaks the demo fails
here."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import demo  # noqa: E402
import watch_rig as R  # noqa: E402

R.scenario(demo.typical_event)
