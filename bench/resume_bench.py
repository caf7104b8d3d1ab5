"""Downloads over links that break: a 25 MiB package fetched by download_bench.exe (the tool's
download path) from the loopback test server, as the server's request log counts the bytes.

  drops    the server drops each connection after 6 MiB: bytes sent / package size, whether it was
           stored by the one call, and the time beside the same download without drops
  kill     the download process is killed (by its process id) once its kept part holds about 40 %,
           and run again: bytes sent over both runs / package size, and whether it was stored

  resume_bench.py --build DIR [--label NAME] --source DIR   (inside a Wine prefix: WINEPREFIX set)

A build that cannot resume fails these and its figures are printed as measured. --quick does the same
with a 4 MiB package (a drop every MiB, the kill at 40 %) and fails when a package was not stored
(the suite runs it so that a change of the rigs cannot break the benchmark unnoticed).
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
    p.add_argument("--quick", action="store_true")
    a = p.parse_args()
    size = 4 * MiB if a.quick else SIZE
    drop = size * 6 // 25
    script = os.path.join(a.source, "tests", "support", "update_server.py")
    exe = os.path.join(a.build, "bench", "download_bench.exe")
    state = os.path.join(a.build, "bench-resume-server")
    out = os.path.join(a.build, "bench-resume-out")
    shutil.rmtree(state, ignore_errors=True)
    port = int(subprocess.run([sys.executable, script, "start", "--state", state], check=True, capture_output=True,
                              stdin=subprocess.DEVNULL).stdout.split()[0])
    results = []  # whether each run stored the package
    try:
        with open(os.path.join(state, "root", "pkg.bin"), "wb") as f:
            f.write(b"MZ" + os.urandom(size - 2))

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
            args = ["wine", exe, "127.0.0.1:%d" % port, "pkg.bin", str(size), "Z:" + out.replace("/", "\\")]
            log = open(os.path.join(out, "run.txt"), "ab")
            proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            if background:
                return proc
            start = time.monotonic()
            status = proc.wait()
            took = time.monotonic() - start
            if status != 0:  # what a failed run said, for whoever reads a failed benchmark
                with open(os.path.join(out, "run.txt"), encoding="utf-8", errors="replace") as f:
                    print("download_bench.exe ended with status %d after %.3f s: %s"
                          % (status, took, f.read().strip() or "(printed nothing)"), flush=True)
            return took

        def stored():
            path = os.path.join(out, "pkg.bin")
            with open(os.path.join(state, "root", "pkg.bin"), "rb") as f:
                return os.path.exists(path) and open(path, "rb").read() == f.read()

        reset()
        fault("{}")
        plain = fetch()
        reset()
        fault('{"drop_every": %d}' % drop)
        dropping = fetch()
        results.append(stored())
        print("%s: drops every %.1f MiB: stored=%d, fetched %.3f x the size in %.3f s (without drops %.3f s)"
              % (a.label, drop / MiB, results[-1], sent() / size, dropping, plain), flush=True)

        reset()
        stall = size * 2 // 5
        fault('{"stall_after": %d, "stall_seconds": 3}' % stall)
        proc = fetch(background=True)
        part = os.path.join(out, "pkg.bin.ztresume")
        deadline = time.monotonic() + 60
        # The build that cannot resume keeps no part: its temporary file is watched instead.
        while time.monotonic() < deadline:
            files = [os.path.join(out, n) for n in os.listdir(out) if n.startswith("pkg.bin.")]
            # The last block before the stall may still sit in the writer's buffer: the kill comes
            # while the server stalls, not after the rest has come.
            if any(os.path.getsize(f) >= stall - 256 * 1024 for f in files if os.path.exists(f)):
                break
            time.sleep(0.05)
        proc.kill()  # by its process id: the Wine process that runs the download
        proc.wait()
        time.sleep(3.5)  # the stalled answer ends and is logged
        fault("{}")
        fetch()
        results.append(stored())
        print("%s: killed at 40 %%: stored=%d, fetched %.3f x the size over both runs"
              % (a.label, results[-1], sent() / size), flush=True)
    finally:
        subprocess.run([sys.executable, script, "stop", "--state", state])
    if a.quick and not (len(results) == 2 and all(results)):
        sys.exit("resume_bench: a package was not stored")


if __name__ == "__main__":
    main()
