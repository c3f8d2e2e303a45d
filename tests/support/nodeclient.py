"""Starts tools/simnode.py for a test and talks JSON-RPC to it."""
import base64
import json
import os
import subprocess
import sys
import urllib.error
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
        self.auth = None if user is None else "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()

    def post(self, body, timeout=30):
        req = urllib.request.Request(self.url, data=body.encode(), headers={"Content-Type": "application/json"})
        if self.auth:
            req.add_header("Authorization", self.auth)
        try:
            with urllib.request.urlopen(req, timeout=timeout) as r:
                return r.status, r.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode()

    def call(self, method, *params, timeout=30):
        status, body = self.post(json.dumps({"id": 1, "method": method, "params": list(params)}), timeout)
        reply = json.loads(body)
        if status != 200 or reply.get("error"):
            raise RuntimeError(f"{status} {body}")
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
