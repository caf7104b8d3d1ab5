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
from probe import Tool


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
    finally:
        server.stop()
    print("PASS")
