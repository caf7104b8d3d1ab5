"""Starts ZT_AutoUpdate under Wine, waits for its window and saves a screenshot."""
import argparse
import os
import shutil
import subprocess
import time


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    drive_c = os.path.join(os.environ["WINEPREFIX"], "drive_c")
    dest = os.path.join(drive_c, "Program Files", "ZT AutoUpdate")
    os.makedirs(dest, exist_ok=True)
    shutil.copy(os.path.join(args.build, "ZT_AutoUpdate.exe"), dest)
    with open(os.path.join(args.out, "tool.out"), "wb") as log:
        tool = subprocess.Popen(["wine", os.path.join(dest, "ZT_AutoUpdate.exe")], stdout=log, stderr=log)
    time.sleep(8)
    shot = os.path.join(args.out, "main-window.png")
    subprocess.run(["import", "-window", "root", shot], check=False)
    print("screenshot:", shot)
    tool.kill()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
