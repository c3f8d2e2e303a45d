"""Starts tools/simnode.py for a test and talks JSON-RPC to it."""
import base64
import json
import os
import subprocess
import sys
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TESTDATA = os.path.join(ROOT, "tests", "data")


class SimNode:
    def __init__(self, *args, user=None, password=""):
        self.proc = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools", "simnode.py"), *args],
                                     stdout=subprocess.PIPE, text=True)
        self.url = self.proc.stdout.readline().strip()
        if not self.url.startswith("http://127.0.0.1:"):
            raise RuntimeError("simnode did not start")
        self.headers = {"Content-Type": "application/json"}
        if user is not None:
            self.headers["Authorization"] = "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()

    def call(self, method, *params):
        body = json.dumps({"id": 1, "method": method, "params": list(params)}).encode()
        with urllib.request.urlopen(urllib.request.Request(self.url, body, self.headers), timeout=60) as r:
            reply = json.loads(r.read())
        if reply.get("error"):
            raise RuntimeError(reply["error"])
        return reply["result"]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class SimPool:
    """tools/simpool.py for a test, and its control calls over a connection of their own."""

    def __init__(self, *args, port=0):
        self.proc = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools", "simpool.py"), "--port", str(port),
                                      *args], stdout=subprocess.PIPE, text=True)
        self.url = self.proc.stdout.readline().strip()
        if not self.url.startswith(("stratum+tcp://127.0.0.1:", "stratum+ssl://127.0.0.1:")):
            raise RuntimeError("simpool did not start")
        self.port = int(self.url.rsplit(":", 1)[1])

    def call(self, method, *params):
        import socket
        import ssl
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as raw:
            s = raw
            if self.url.startswith("stratum+ssl"):
                s = ssl._create_unverified_context().wrap_socket(raw)
            s.sendall((json.dumps({"id": 1, "method": "control." + method, "params": list(params)}) + "\n").encode())
            return json.loads(s.makefile().readline())["result"]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.proc.stdout.close()
