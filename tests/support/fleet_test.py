#!/usr/bin/env python3
"""Tests of scripts/fleet on the committed sample log (a 5 % -> 25 % -> 100 % rollout of 2.8, and the
outcome reports of that and of data 2003)."""
import gzip
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
FLEET = ROOT / "scripts" / "fleet"
SAMPLE = ROOT / "tests" / "support" / "fleet_sample.log"
# Counted by hand from the sample: 20 clients; per day the version each fetched with last, the
# addresses that fetched with another agent only, and the 2.8 share of the tool's clients.
EXPECTED = [["day", "2.7", "2.8", "other", "2.8", "share"],
            ["2027-01-10", "19", "1", "1", "5.0%"],
            ["2027-01-11", "15", "5", "1", "25.0%"],
            ["2027-01-12", "3", "17", "1", "85.0%"],
            ["2027-01-13", "0", "19", "1", "100.0%"]]
# The outcome reports, counted by hand the same way: data 2003 written, the self-update to 2.8 (one
# download failing its hash, one rolled back; deferred counts nowhere), two publications refused.
# Not counted: a 404, a HEAD, a second identical report of one address that day, one not in the
# tools' form (the one skipped on stderr); one value is percent-encoded.
EXPECTED_REPORTS = [["day", "what", "version", "ok", "failed", "rolled-back", "refused", "failure-share"],
                    ["2027-01-10", "updater", "2.8", "1", "0", "0", "-", "0.0%"],
                    ["2027-01-11", "data", "2003", "3", "1", "0", "-", "25.0%"],
                    ["2027-01-11", "updater", "2.8", "4", "1", "0", "-", "20.0%"],
                    ["2027-01-12", "data", "2003", "5", "1", "0", "-", "16.7%"],
                    ["2027-01-12", "updater", "2.8", "13", "0", "1", "-", "7.1%"],
                    ["2027-01-13", "data", "2003", "5", "0", "0", "-", "0.0%"],
                    ["2027-01-13", "updater", "2.8", "1", "0", "0", "-", "0.0%"],
                    ["2027-01-13", "server", "-", "-", "-", "-", "1", "-"],
                    ["2027-01-13", "server", "2003", "-", "-", "-", "1", "-"],
                    ["all", "data", "2003", "13", "2", "0", "-", "13.3%"],
                    ["all", "updater", "2.8", "19", "1", "1", "-", "9.5%"],
                    ["all", "server", "-", "-", "-", "-", "1", "-"],
                    ["all", "server", "2003", "-", "-", "-", "1", "-"]]


class Fleet(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = Path(tmp.name)

    def fleet(self, *logs):
        chart = self.dir / "chart.png"
        run = subprocess.run([FLEET, "--chart", chart, *logs], capture_output=True, text=True, timeout=120)
        return run, chart

    def test_counts_and_chart(self):
        lines = SAMPLE.read_text().splitlines(keepends=True)
        # Rotated as logrotate leaves it: the older part compressed, cut in the middle of a day on which
        # clients update (a client's last fetch of 2027-01-11 is in the newer file), given newest first.
        cut = next(i for i, line in enumerate(lines) if "[11/Jan/2027:13:" in line)
        older, newer = self.dir / "access.log.1.gz", self.dir / "access.log"
        with gzip.open(older, "wt") as f:
            f.writelines(lines[:cut])
        newer.write_text("".join(lines[cut:]))
        for name, logs in (("one plain log", [SAMPLE]), ("rotated, newest first", [newer, older])):
            with self.subTest(name):
                run, chart = self.fleet(*logs)
                self.assertEqual(run.returncode, 0, run.stderr)
                lines = run.stdout.splitlines()
                self.assertEqual([line.split() for line in lines[:len(EXPECTED)]], EXPECTED)
                self.assertEqual(lines[len(EXPECTED)], "")
                self.assertEqual([line.split() for line in lines[len(EXPECTED) + 1:-1]], EXPECTED_REPORTS)
                self.assertIn("skipped 4 line(s)", run.stderr)
                self.assertIn("skipped 1 report(s) not in the tools' form", run.stderr)
                png = chart.read_bytes()
                self.assertEqual(png[:8], b"\x89PNG\r\n\x1a\n")
                width, height = struct.unpack(">II", png[16:24])
                self.assertGreater(width * height, 300 * 200)
                self.assertGreater(len(png), 10_000)

    def test_nothing_to_count_is_an_error(self):
        log = self.dir / "access.log"
        log.write_text(
            '192.0.2.1 - - [10/Jan/2027:10:00:00 +0800] "GET /autoupdate/version.txt HTTP/1.1" 404 0 "-" '
            '"ZT_AutoUpdate/2.8 (Windows NT 10.0; x64)"\n'
            '192.0.2.2 - - [10/Jan/2027:10:00:01 +0800] "GET /index.html HTTP/1.1" 200 10 "-" '
            '"ZT_AutoUpdate/2.8 (Windows NT 10.0; x64)"\nnot a log line\n')
        run, chart = self.fleet(log)
        self.assertEqual(run.returncode, 1)
        self.assertIn("no fetch of /autoupdate/version.txt", run.stderr)
        self.assertFalse(chart.exists())


if __name__ == "__main__":
    unittest.main(verbosity=2)
