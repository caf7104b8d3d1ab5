"""What the update scenarios share: a private loopback update server (tests/support/update_server.py)
whose root the scenario fills, and the descriptor bytes it serves."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import zt_e2e
from probe import Tool


class UpdateServer:
    def __init__(self, script):
        self.script = script
        self.state = tempfile.mkdtemp(prefix="zt_update_e2e_")
        self.root = os.path.join(self.state, "root")
        out = subprocess.run([sys.executable, script, "start", "--state", self.state], check=True,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.port = int(out.stdout.decode().split()[0])

    def address(self):
        return "127.0.0.1:%d" % self.port

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
