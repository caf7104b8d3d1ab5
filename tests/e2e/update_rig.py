"""What the update scenarios share: a private loopback update server (tests/support/update_server.py)
whose root the scenario fills, and the descriptor bytes it serves."""
import os
import shutil
import subprocess
import sys
import tempfile

import zt_e2e


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
