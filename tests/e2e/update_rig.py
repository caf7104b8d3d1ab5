"""What the update scenarios share: a private loopback update server (tests/support/update_server.py)
whose root the scenario fills, and the descriptor bytes it serves."""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

import zt_e2e
from probe import Tool, check, wait_until
from zt_ids import IDT_WATCH, WM_UPDATER_DONE


class UpdateServer:
    def __init__(self, script, tls=None):
        """tls: (certificate chain PEM, key PEM) to serve HTTPS, for https://localhost:PORT."""
        self.script = script
        self.tls = tls
        self.state = tempfile.mkdtemp(prefix="zt_update_e2e_")
        self.root = os.path.join(self.state, "root")
        extra = ["--tls-cert", tls[0], "--tls-key", tls[1]] if tls else []
        out = subprocess.run([sys.executable, script, "start", "--state", self.state] + extra, check=True,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.port = int(out.stdout.decode().split()[0])

    def address(self):
        # WinINet matches a certificate's DNS names, not addresses.
        return "https://localhost:%d" % self.port if self.tls else "127.0.0.1:%d" % self.port

    def requests(self, name):
        """The request log's entries for `name`, in order."""
        try:
            with open(os.path.join(self.state, "requests.log"), encoding="utf-8") as f:
                entries = [json.loads(line) for line in f if line.strip()]
        except OSError:
            return []
        return [e for e in entries if e.get("name") == name]

    def bytes_sent(self, name):
        return sum(e.get("bytes_sent", 0) for e in self.requests(name))

    def serve(self, name, data):
        with open(os.path.join(self.root, name), "wb") as f:
            f.write(data)

    def fault(self, name, fault_json):
        subprocess.run([sys.executable, self.script, "fault", "--state", self.state, name, fault_json], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def requested(self, name):
        try:
            with open(os.path.join(self.state, "requests.log"), encoding="utf-8") as f:
                return sum(1 for line in f if '"name": "%s"' % name in line)
        except OSError:
            return 0

    def stop(self):
        subprocess.run([sys.executable, self.script, "stop", "--state", self.state],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.state, ignore_errors=True)


def descriptor(data_version, data_file, data_length, **kwargs):
    return zt_e2e.descriptor(data_version, data_file, data_length, **kwargs)


def standin_package(e2e):
    """The data-update stand-in's bytes: what the scenarios publish as a data package."""
    with open(os.path.join(e2e.build, "simdev", "data_update_standin.exe"), "rb") as f:
        return f.read()


def serve_data(server, package, seq=3):
    """Publishes `package` as data version 0201 (pkg_0201.exe) at sequence `seq`; returns the descriptor."""
    served = descriptor("0201", "pkg_0201.exe", len(package), data_bytes=package, seq=seq)
    server.serve("version.txt", served)
    server.serve("pkg_0201.exe", package)
    return served


def serve_updater(server, package, seq, version, name, body):
    """Publishes the executable `body` as `version` under `name`, beside data package 0201 (`package`,
    served by the caller), at sequence `seq`; returns the descriptor."""
    served = descriptor("0201", "data_pkg_0201.exe", len(package), data_bytes=package, updater_version=version,
                        updater_file=name, updater_length=len(body), updater_bytes=body, seq=seq)
    server.serve("version.txt", served)
    server.serve(name, body)
    return served


USER_STATE_KEY = zt_e2e.USER_STATE_KEY
SCHEDULED_CHECK_TICK = 151


def versions(e2e):
    """(this build's version, the next build's) from res/version.h: ZT_AutoUpdate_next.exe is this
    tree with the minor version raised by one."""
    text = open(os.path.join(e2e.source, "res", "version.h"), encoding="utf-8").read()
    major = int(text.split("#define ZT_VERSION_MAJOR ")[1].split()[0])
    minor = int(text.split("#define ZT_VERSION_MINOR ")[1].split()[0])
    return "%d.%d" % (major, minor), "%d.%d" % (major, minor + 1)


def scheduled_check(tool):
    """Sends the ticks up to the first scheduled updater check to the running tool's window."""
    rc, _ = tool.probe("tick", IDT_WATCH, SCHEDULED_CHECK_TICK, timeout=600)
    check(rc == 0, "%d ticks sent" % SCHEDULED_CHECK_TICK)


def end_unstarted_copy(tool, wait=True):
    """Ends a copy of the tool that the scenario did not start (one the tool started itself); with
    `wait`, checks that it has ended (a scenario that has failed already only asks)."""
    if tool.exists():
        tool.post(WM_UPDATER_DONE, 1, 0)
        if wait:
            check(wait_until(lambda: not tool.exists(), 20), "that copy ended")


def user_state(name):
    """What reg prints as the data of value `name` of the user's state, or None when it is absent."""
    rc, lines = zt_e2e.run_windows(["reg", "query", USER_STATE_KEY, "/v", name])
    for line in lines:
        parts = line.split(None, 2)
        if len(parts) >= 2 and parts[0] == name and parts[1].startswith("REG_"):
            return parts[2].strip() if len(parts) > 2 else ""
    return None


def sequence_floors():
    """This user's floors, {key id: sequence}, read from a reg export (Wine's reg query does not
    show REG_QWORD data)."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "floors.reg")
        zt_e2e.run_windows(["reg", "export", USER_STATE_KEY + "\\SequenceFloors", zt_e2e.to_windows(out), "/y"])
        if not os.path.exists(out):
            return {}
        raw = open(out, "rb").read()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8", "replace")
    floors = {}
    for line in text.splitlines():
        if line.startswith('"') and "=hex(b):" in line:
            name, data = line.split("=hex(b):")
            floors[name.strip('"')] = int.from_bytes(bytes(int(b, 16) for b in data.split(",")), "little")
    return floors


class GapWatch:
    """probe gap in the background: how long no main window existed while the tool replaced itself."""

    def __init__(self, tool, seconds):
        self.out_path = os.path.join(tool.e2e.build, "gap-%d.out" % os.getpid())
        self.out = open(self.out_path, "wb")
        self.proc = subprocess.Popen(["wine", tool.probe_exe, "gap", str(int(seconds * 1000))],
                                     stdin=subprocess.DEVNULL, stdout=self.out, stderr=subprocess.DEVNULL,
                                     env=dict(os.environ, WINEDEBUG="-all"))

    def result_ms(self, timeout):
        """The gap in milliseconds, or None when no other main window came within the watch."""
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.out.close()
        text = open(self.out_path, "rb").read().decode(errors="replace")
        print("gap probe:", text.replace("\n", " | "), flush=True)
        os.remove(self.out_path)
        return int(text.split("gap_ms=")[1].split()[0]) if "gap_ms=" in text else None


def make_certificates(folder):
    """Two test roots, each with a certificate for DNS name localhost: "trusted" (whose root a
    scenario adds to the prefix's ROOT store) and "untrusted". Returns {name: (chain, key, root DER)}."""
    os.makedirs(folder, exist_ok=True)
    made = {}

    def openssl(*args):
        subprocess.run(["openssl"] + list(args), check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    for name in ("trusted", "untrusted"):
        p = lambda leaf: os.path.join(folder, "%s-%s" % (name, leaf))  # noqa: E731
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=ZT test root %s" % name,
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                "-keyout", p("root.key"), "-out", p("root.pem"))
        openssl("x509", "-in", p("root.pem"), "-outform", "DER", "-out", p("root.der"))
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout", p("server.key"),
                "-out", p("server.csr"))
        with open(p("ext.cnf"), "w") as f:
            f.write("subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n")
        openssl("x509", "-req", "-in", p("server.csr"), "-CA", p("root.pem"), "-CAkey", p("root.key"),
                "-CAcreateserial", "-days", "2", "-extfile", p("ext.cnf"), "-out", p("server.pem"))
        made[name] = (p("server.pem"), p("server.key"), p("root.der"))
    return made


def package_bytes(size, seed):
    """An executable-looking package of `size` bytes, different for each seed."""
    import random
    rng = random.Random(seed)
    return b"MZ" + rng.randbytes(size - 2)


def run_scenario(body, on_failure=None):
    """Runs body(e2e, tool, server) against a private loopback server, with no C:\\ZT_Update and no
    Run value before and after. A failed check or a broken rig fails the scenario with the tool's
    log; on_failure(tool) then puts right what the body may have left (a copy it did not start)."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True, help="update_server.py")
    e2e = zt_e2e.E2E.from_args(parser)
    server = UpdateServer(e2e.args.server)
    try:
        with e2e:
            tool = Tool(e2e)
            tool.clean_update_root()
            tool.set_run_value(None)
            try:
                body(e2e, tool, server)
            except Exception as e:
                print("FAIL:", e)
                print("log:\n" + tool.log())
                if on_failure:
                    on_failure(tool)
                tool.stop()
                sys.exit(1)
            tool.stop()
            tool.clean_update_root()
            tool.set_run_value(None)
            zt_e2e.clean_user_state()
    finally:
        server.stop()
    print("PASS")
