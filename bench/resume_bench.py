"""Downloads over links that break: a 25 MiB package fetched by download_bench.exe (the tool's
download path) from the loopback test server, as the server's request log counts the bytes.

  drops    the server drops each connection after 6 MiB: bytes sent / package size, whether it was
           stored by the one call, and the time beside the same download without drops
  kill     the download process is killed (by its process id) once its kept part holds about 40 %,
           and run again: bytes sent over both runs / package size, and whether it was stored

  resume_bench.py --build DIR [--label NAME] --source DIR   (inside a Wine prefix: WINEPREFIX set)

A build that cannot resume fails these and its figures are printed as measured.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

MiB = 1024 * 1024
SIZE = 25 * MiB


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", required=True)
    p.add_argument("--source", required=True)
    p.add_argument("--label", default="now")
    a = p.parse_args()
    script = os.path.join(a.source, "tests", "support", "update_server.py")
    exe = os.path.join(a.build, "bench", "download_bench.exe")
    state = os.path.join(a.build, "bench-resume-server")
    out = os.path.join(a.build, "bench-resume-out")
    shutil.rmtree(state, ignore_errors=True)
    port = int(subprocess.run([sys.executable, script, "start", "--state", state], check=True, capture_output=True,
                              stdin=subprocess.DEVNULL).stdout.split()[0])
    try:
        with open(os.path.join(state, "root", "pkg.bin"), "wb") as f:
            f.write(b"MZ" + os.urandom(SIZE - 2))

        def fault(text):
            subprocess.run([sys.executable, script, "fault", "--state", state, "pkg.bin", text], check=True)

        def sent():
            try:
                with open(os.path.join(state, "requests.log"), encoding="utf-8") as f:
                    return sum(json.loads(line).get("bytes_sent", 0) for line in f if line.strip())
            except OSError:
                return 0

        def reset():
            for name in ("requests.log",):
                try:
                    os.remove(os.path.join(state, name))
                except OSError:
                    pass
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)

        def fetch(background=False):
            args = ["wine", exe, "127.0.0.1:%d" % port, "pkg.bin", str(SIZE), "Z:" + out.replace("/", "\\")]
            log = open(os.path.join(out, "run.txt"), "ab")
            proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.DEVNULL)
            if background:
                return proc
            start = time.monotonic()
            proc.wait()
            return time.monotonic() - start

        def stored():
            path = os.path.join(out, "pkg.bin")
            with open(os.path.join(state, "root", "pkg.bin"), "rb") as f:
                return os.path.exists(path) and open(path, "rb").read() == f.read()

        reset()
        fault("{}")
        plain = fetch()
        reset()
        fault('{"drop_every": %d}' % (6 * MiB))
        dropping = fetch()
        print("%s: drops every 6 MiB: stored=%d, fetched %.3f x the size in %.3f s (without drops %.3f s)"
              % (a.label, stored(), sent() / SIZE, dropping, plain), flush=True)

        reset()
        fault('{"stall_after": %d, "stall_seconds": 3}' % (10 * MiB))
        proc = fetch(background=True)
        part = os.path.join(out, "pkg.bin.ztresume")
        deadline = time.monotonic() + 60
        # The build that cannot resume keeps no part: its temporary file is watched instead.
        while time.monotonic() < deadline:
            files = [os.path.join(out, n) for n in os.listdir(out) if n.startswith("pkg.bin.")]
            if any(os.path.getsize(f) >= 10 * MiB for f in files if os.path.exists(f)):
                break
            time.sleep(0.05)
        proc.kill()  # by its process id: the Wine process that runs the download
        proc.wait()
        time.sleep(3.5)  # the stalled answer ends and is logged
        fault("{}")
        fetch()
        print("%s: killed at 40 %%: stored=%d, fetched %.3f x the size over both runs"
              % (a.label, stored(), sent() / SIZE), flush=True)
    finally:
        subprocess.run([sys.executable, script, "stop", "--state", state])


if __name__ == "__main__":
    main()
