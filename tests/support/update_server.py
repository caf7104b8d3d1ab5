#!/usr/bin/env python3
"""Loopback update server for the tests: serves a folder under /autoupdate/ over HTTP/1.1 (or HTTPS)
on 127.0.0.1, as a static web server does (ETag, Last-Modified, single byte ranges with If-Range),
with per-file fault modes and a request log.

  update_server.py serve --state DIR [--tls-cert PEM --tls-key PEM]   run in the foreground (port printed and written)
  update_server.py start --state DIR [--tls-cert PEM --tls-key PEM]   start in the background, print the port, return
  update_server.py stop  --state DIR          stop the background server
  update_server.py fault --state DIR NAME JSON   set (or with '{}' clear) the fault of one file

The state folder holds: root/ (the served files), port, pid, requests.log (one JSON object per
request), server.log, faults.json ({"name": {fault}}; read on every request, so a test may write
it directly, also from the Windows side through Z:).

Fault keys (all optional, combined as given):
  status: N           answer with status N and a small error page instead of the file
  retry_after: TEXT   with status: a Retry-After header of that text (seconds or an HTTP date)
  announce: N         Content-Length N whatever the body's real length (longer/shorter bodies)
  no_length: true     no Content-Length; the body ends when the connection is closed
  drop_after: N       drop the connection once the body reaches byte N of the file (every time)
  drop_every: N       drop each connection after it has sent N body bytes
  ignore_ranges: true answer every request with the whole file (200), as a server without ranges
  range_always: true  answer a range request with 206 whatever If-Range says (a broken cache)
  stall_before: S     accept the request, then say nothing for S seconds before answering
  stall_after: N, stall_seconds: S   send N body bytes, then stall S seconds, then go on
  drip_bytes: N, drip_interval: S    send the body N bytes at a time, S seconds apart
  redirect: NAME      answer 302 with Location /autoupdate/NAME
  redirect_url: URL   answer 302 with Location URL

Control endpoints (for Python tests): POST /_control/fault?name=NAME (JSON body),
POST /_control/reset, GET /_control/log.
"""
import argparse
import email.utils
import http.server
import json
import os
import signal
import re
import socket
import ssl
import sys
import threading
import time
import urllib.parse

PREFIX = "/autoupdate/"
CHUNK = 64 * 1024


class State:
    def __init__(self, folder):
        self.folder = os.path.abspath(folder)
        self.root = os.path.join(self.folder, "root")
        self.faults_file = os.path.join(self.folder, "faults.json")
        self.log_file = os.path.join(self.folder, "requests.log")
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        os.makedirs(self.root, exist_ok=True)

    def faults(self):
        try:
            with open(self.faults_file, "r", encoding="utf-8") as f:
                data = json.load(f)
            return data if isinstance(data, dict) else {}
        except (OSError, ValueError):
            return {}

    def set_fault(self, name, fault):
        with self.lock:
            data = self.faults()
            if fault:
                data[name] = fault
            else:
                data.pop(name, None)
            tmp = self.faults_file + ".tmp"
            with open(tmp, "w", encoding="utf-8") as f:
                json.dump(data, f)
            os.replace(tmp, self.faults_file)

    def log(self, entry):
        with self.lock:
            with open(self.log_file, "a", encoding="utf-8") as f:
                f.write(json.dumps(entry) + "\n")

    def sleep(self, seconds):
        """Sleeps, but wakes when the server stops."""
        self.stopping.wait(seconds)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "ZTTestServer/1.0"

    def log_message(self, fmt, *args):  # the request log replaces the default stderr lines
        pass

    @property
    def state(self):
        return self.server.state

    def setup(self):
        # The TLS handshake happens on the connection's own thread: a client that stalls or refuses
        # the certificate holds up nobody else.
        if self.server.tls is not None:
            self.request.settimeout(30)
            self.request = self.server.tls.wrap_socket(self.request, server_side=True)
            self.request.settimeout(None)
        super().setup()

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path == "/_control/log":
            try:
                with open(self.state.log_file, "rb") as f:
                    body = f.read()
            except OSError:
                body = b""
            return self.simple(200, body, "application/x-ndjson")
        entry = {"time": time.time(), "method": "GET", "path": self.path,
                 "headers": {k.lower(): v for k, v in self.headers.items()}}
        try:
            self.serve_file(url.path, entry)
        except (ConnectionError, OSError) as e:
            entry["outcome"] = "connection error: %s" % e
        finally:
            self.state.log(entry)

    def do_POST(self):
        url = urllib.parse.urlsplit(self.path)
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        if url.path == "/_control/fault":
            name = urllib.parse.parse_qs(url.query).get("name", [""])[0]
            self.state.set_fault(name, json.loads(body or b"{}"))
            return self.simple(200, b"ok")
        if url.path == "/_control/reset":
            with self.state.lock:
                for f in (self.state.faults_file, self.state.log_file):
                    try:
                        os.remove(f)
                    except OSError:
                        pass
            return self.simple(200, b"ok")
        return self.simple(404, b"not found")

    def simple(self, status, body, ctype="text/plain"):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def serve_file(self, path, entry):
        if not path.startswith(PREFIX):
            entry["status"] = 404
            return self.simple(404, b"not found")
        name = urllib.parse.unquote(path[len(PREFIX):])
        entry["name"] = name
        fault = self.state.faults().get(name, {})
        entry["fault"] = fault
        if fault.get("stall_before"):
            self.state.sleep(float(fault["stall_before"]))
            if self.state.stopping.is_set():
                return
        if fault.get("redirect") or fault.get("redirect_url"):
            entry["status"] = 302
            self.send_response(302)
            self.send_header("Location", fault.get("redirect_url") or PREFIX + fault["redirect"])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if fault.get("status"):
            status = int(fault["status"])
            page = ("<html><body>error %d</body></html>" % status).encode()
            entry["status"] = status
            self.send_response(status)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(page)))
            if fault.get("retry_after") is not None:
                self.send_header("Retry-After", str(fault["retry_after"]))
            self.end_headers()
            self.wfile.write(page)
            return
        file_path = os.path.join(self.state.root, name)
        if "/" in name or "\\" in name or name.startswith(".") or not os.path.isfile(file_path):
            entry["status"] = 404
            return self.simple(404, b"<html><body>not found</body></html>", "text/html")
        size = os.path.getsize(file_path)
        mtime = os.path.getmtime(file_path)
        etag = '"%x-%x"' % (int(mtime * 1000), size)
        last_modified = email.utils.formatdate(mtime, usegmt=True)
        first = self.range_start(size, etag, last_modified, fault, entry)
        if first is None:
            return
        status = 206 if entry.get("partial") else 200
        entry["status"] = status
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("ETag", etag)
        self.send_header("Last-Modified", last_modified)
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, size - 1, size))
        length = size - first
        if fault.get("no_length"):
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            announce = int(fault.get("announce", length))
            self.send_header("Content-Length", str(announce))
            if announce != length:
                self.close_connection = True
                self.send_header("Connection", "close")
        self.end_headers()
        sent = 0
        drop_after = fault.get("drop_after")
        drop_every = fault.get("drop_every")
        stall_after = fault.get("stall_after")
        drip = int(fault.get("drip_bytes", 0))
        with open(file_path, "rb") as f:
            f.seek(first)
            while True:
                want = drip if drip else CHUNK
                limit = None
                if drop_after is not None:
                    limit = int(drop_after) - first
                if drop_every is not None:
                    limit = int(drop_every) if limit is None else min(limit, int(drop_every))
                if limit is not None:
                    want = min(want, limit - sent)
                if stall_after is not None and sent < int(stall_after):
                    want = min(want, int(stall_after) - sent)
                if limit is not None and want <= 0 and first + sent < size:
                    entry["bytes_sent"] = sent
                    entry["outcome"] = "dropped"
                    self.close_connection = True
                    self.wfile.flush()
                    self.connection.shutdown(socket.SHUT_RDWR)
                    return
                data = f.read(max(want, 0))
                if not data:
                    break
                self.wfile.write(data)
                sent += len(data)
                entry["bytes_sent"] = sent
                if stall_after is not None and sent == int(stall_after):
                    self.wfile.flush()
                    self.state.sleep(float(fault.get("stall_seconds", 3600)))
                    if self.state.stopping.is_set():
                        return
                if drip:
                    self.wfile.flush()
                    self.state.sleep(float(fault.get("drip_interval", 0.05)))
                    if self.state.stopping.is_set():
                        return
        entry["bytes_sent"] = sent
        entry["outcome"] = "complete"
        if fault.get("no_length") or int(fault.get("announce", length)) != length:
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)

    def range_start(self, size, etag, last_modified, fault, entry):
        """Where the body starts: 0 for the whole file, N for "Range: bytes=N-" when If-Range (if
        any) names this copy; None when a 416 was answered."""
        asked = self.headers.get("Range")
        if not asked or fault.get("ignore_ranges"):
            return 0
        m = re.fullmatch(r"bytes=(\d+)-(\d*)", asked.strip())
        if not m:
            return 0  # a form this server does not serve: the whole file, as RFC 9110 allows
        if_range = self.headers.get("If-Range")
        if if_range and not fault.get("range_always"):
            same = if_range == etag if if_range.startswith('"') or if_range.startswith("W/") \
                else if_range == last_modified
            if not same:
                return 0
        first = int(m.group(1))
        if first >= size:
            entry["status"] = 416
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return None
        entry["partial"] = True
        return first


class Server(http.server.ThreadingHTTPServer):
    tls = None
    daemon_threads = True
    allow_reuse_address = True


def tls_context(cert, key):
    if not cert:
        return None
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    return ctx


def serve(state_dir, port, cert=None, key=None):
    state = State(state_dir)
    server = Server(("127.0.0.1", port), Handler)
    server.state = state
    server.tls = tls_context(cert, key)
    actual = server.server_address[1]
    tmp = os.path.join(state.folder, "port.tmp")
    with open(tmp, "w") as f:
        f.write(str(actual))
    os.replace(tmp, os.path.join(state.folder, "port"))
    print(actual, flush=True)

    def stop(*_):
        state.stopping.set()
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    server.serve_forever(poll_interval=0.2)
    server.server_close()


def start(state_dir, port, cert=None, key=None):
    os.makedirs(state_dir, exist_ok=True)
    port_file = os.path.join(state_dir, "port")
    pid_file = os.path.join(state_dir, "pid")
    stop(state_dir)
    for f in (port_file, os.path.join(state_dir, "requests.log"), os.path.join(state_dir, "faults.json")):
        try:
            os.remove(f)
        except OSError:
            pass
    pid = os.fork()
    if pid == 0:
        os.setsid()
        # No descriptor of the caller stays open: CTest waits for its pipes to close.
        devnull = os.open(os.devnull, os.O_RDONLY)
        log = os.open(os.path.join(state_dir, "server.log"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        os.dup2(devnull, 0)
        os.dup2(log, 1)
        os.dup2(log, 2)
        os.closerange(3, 256)
        try:
            serve(state_dir, port, cert, key)
        finally:
            os._exit(0)
    with open(pid_file, "w") as f:
        f.write(str(pid))
    for _ in range(100):
        if os.path.exists(port_file):
            with open(port_file) as f:
                print(f.read().strip())
            return 0
        time.sleep(0.05)
    print("update server did not start", file=sys.stderr)
    return 1


def stop(state_dir):
    pid_file = os.path.join(state_dir, "pid")
    try:
        with open(pid_file) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return 0
    try:
        os.kill(pid, signal.SIGTERM)
        for _ in range(50):
            os.kill(pid, 0)
            time.sleep(0.05)
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    try:
        os.remove(pid_file)
    except OSError:
        pass
    return 0


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("command", choices=["serve", "start", "stop", "fault"])
    p.add_argument("--state", required=True)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--tls-cert", default=None, help="serve HTTPS with this certificate chain (PEM)")
    p.add_argument("--tls-key", default=None, help="the certificate's private key (PEM)")
    p.add_argument("args", nargs="*")
    a = p.parse_intermixed_args()
    if a.command == "serve":
        serve(a.state, a.port, a.tls_cert, a.tls_key)
        return 0
    if a.command == "start":
        return start(a.state, a.port, a.tls_cert, a.tls_key)
    if a.command == "stop":
        return stop(a.state)
    if a.command == "fault":
        State(a.state).set_fault(a.args[0], json.loads(a.args[1]) if len(a.args) > 1 else {})
        return 0
    return 2


if __name__ == "__main__":
    sys.exit(main())
