#!/usr/bin/env python3
"""A Stratum (v1) pool for tests and the demo: newline-delimited JSON-RPC on
127.0.0.1 that hands out jobs with real coinbase parts and merkle branches,
sets the difficulty, and validates every share with its own header assembly
and its own SHA3-256t (hashlib). Standard library only; it shares no code
with the miner.

Besides the miner's calls it takes, on any connection:
  control.newjob {"clean": B}     a new job for every client
  control.difficulty D           a new difficulty for every client
  control.fault {"mode": M}      drop | silent | garbage | longline | reconnect | refuse | stale | off
                                 (stale: every job so far goes stale, unannounced, until the next)
  control.status                 the shares received: job, extranonce2, verdict, per worker
With --tls CERT KEY it speaks stratum+ssl (TLS) instead of plain TCP.
Run tools/simpool.py --help for the options.
"""
import argparse
import json
import os
import socket
import socketserver
import struct
import threading
import time

from simnode import dsha256, sha3t  # the simulated node's hashes: hashlib, nothing of the miner's


DIFF1 = 0xFFFF << 208


class Pool:
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.clients = []
        self.jobs = {}  # id -> job
        self.valid = set()
        self.job_seq = 0
        self.difficulty = args.difficulty
        self.fault = "off"
        self.shares = []
        self.seen = set()
        self.en1_seq = 0
        self.prev = os.urandom(32)
        self.new_job(clean=True)

    def new_job(self, clean):
        self.job_seq += 1
        height = 1000 + self.job_seq
        if clean:
            self.prev = os.urandom(32)
        sig_head = bytes([3]) + height.to_bytes(3, "little")
        coinbase1 = (struct.pack("<I", 1) + b"\x01" + bytes(32) + b"\xff\xff\xff\xff"
                     + bytes([len(sig_head) + 8 + 5]) + sig_head)
        coinbase2 = (b"\x04simp" + b"\xff\xff\xff\xff" + b"\x01" + struct.pack("<Q", 5000000000)
                     + b"\x01\x51" + bytes(4))
        job = {"id": "%x" % self.job_seq, "prev": self.prev, "coinbase1": coinbase1, "coinbase2": coinbase2,
               "branch": [os.urandom(32) for _ in range(3)], "version": 0x20000000,
               "nbits": int(self.args.nbits, 16), "ntime": int(time.time()), "clean": clean}
        self.jobs[job["id"]] = job
        if clean:
            self.valid = set()
        self.valid.add(job["id"])
        return job

    def notify_params(self, job):
        prev = b"".join(job["prev"][i:i + 4][::-1] for i in range(0, 32, 4))
        return [job["id"], prev.hex(), job["coinbase1"].hex(), job["coinbase2"].hex(),
                [b.hex() for b in job["branch"]], "%08x" % job["version"], "%08x" % job["nbits"],
                "%08x" % job["ntime"], job["clean"]]

    def check(self, client, params):
        """None for a good share, else the Stratum error [code, message, None]."""
        try:
            user, job_id, en2, ntime, nonce = params[:5]
            en2_b, ntime_v, nonce_v = bytes.fromhex(en2), int(ntime, 16), int(nonce, 16)
        except (ValueError, TypeError):
            return [20, "malformed share", None]
        if user not in client.workers:
            return [24, "unauthorized worker", None]
        job = self.jobs.get(job_id)
        if job is None or job_id not in self.valid:
            return [21, "job not found (stale)", None]
        if len(en2_b) != self.args.en2_size:
            return [20, "extranonce2 size", None]
        key = (job_id, client.en1, en2, ntime_v, nonce_v)
        if key in self.seen:
            return [22, "duplicate share", None]
        self.seen.add(key)
        root = dsha256(job["coinbase1"] + client.en1 + en2_b + job["coinbase2"])
        for b in job["branch"]:
            root = dsha256(root + b)
        header = (struct.pack("<I", job["version"]) + job["prev"] + root
                  + struct.pack("<III", ntime_v, job["nbits"], nonce_v))
        value = int.from_bytes(sha3t(header), "little")
        # A new difficulty holds from the next job on; the jobs sent before it keep theirs.
        if value > int(DIFF1 / min(client.difficulty, client.job_difficulty.get(job_id, client.difficulty))):
            return [23, "low difficulty share", None]
        return None


class Handler(socketserver.StreamRequestHandler):
    pool = None

    def send(self, obj):
        try:
            self.wfile.write((json.dumps(obj) + "\n").encode())
            self.wfile.flush()
        except OSError:
            pass

    def handle(self):
        pool = self.pool
        self.workers, self.difficulty, self.job_difficulty = set(), pool.difficulty, {}
        with pool.lock:
            pool.en1_seq += 1
            self.en1 = struct.pack(">I", pool.en1_seq)
            pool.clients.append(self)
        try:
            for raw in self.rfile:
                if pool.fault == "silent":
                    continue
                try:
                    msg = json.loads(raw)
                except ValueError:
                    continue
                self.dispatch(msg.get("method"), msg.get("params") or [], msg.get("id"))
        except OSError:
            pass  # the miner went away, or a fault dropped it
        finally:
            with pool.lock:
                pool.clients.remove(self)

    def push_work(self, job):
        self.send({"id": None, "method": "mining.set_difficulty", "params": [self.difficulty]})
        self.notify(job)

    def notify(self, job):
        self.job_difficulty[job["id"]] = self.difficulty
        self.send({"id": None, "method": "mining.notify", "params": self.pool.notify_params(job)})

    def dispatch(self, method, params, rid):
        pool = self.pool
        if method == "mining.subscribe":
            self.send({"id": rid, "result": [[["mining.set_difficulty", "s%d" % pool.en1_seq],
                                              ["mining.notify", "s%d" % pool.en1_seq]], self.en1.hex(),
                                             pool.args.en2_size], "error": None})
        elif method == "mining.authorize":
            ok = pool.fault != "refuse"
            if ok:
                self.workers.add(params[0])
            self.send({"id": rid, "result": ok, "error": None if ok else [24, "unauthorized worker", None]})
            if ok:
                with pool.lock:
                    job = pool.jobs["%x" % pool.job_seq]
                self.push_work(job)
        elif method == "mining.extranonce.subscribe":
            self.send({"id": rid, "result": True, "error": None})
        elif method == "mining.submit":
            with pool.lock:
                error = pool.check(self, params)
                pool.shares.append({"worker": params[0] if params else None, "job": params[1] if len(params) > 1
                                    else None, "extranonce2": params[2] if len(params) > 2 else None,
                                    "en1": self.en1.hex(), "error": error})
            self.send({"id": rid, "result": error is None, "error": error})
        elif method and method.startswith("control."):
            self.send({"id": rid, "result": self.control(method, params), "error": None})
        else:
            self.send({"id": rid, "result": None, "error": [20, "unknown method", None]})

    def control(self, method, params):
        pool = self.pool
        with pool.lock:
            clients = [c for c in pool.clients if c.workers]
            if method == "control.status":
                return {"shares": pool.shares, "clients": len(clients), "difficulty": pool.difficulty}
            if method == "control.difficulty":
                pool.difficulty = float(params[0])
                for c in clients:
                    c.difficulty = pool.difficulty
                    c.send({"id": None, "method": "mining.set_difficulty", "params": [pool.difficulty]})
                return True
            if method == "control.newjob":
                job = pool.new_job(bool(params[0].get("clean", True)) if params else True)
                for c in clients:
                    c.notify(job)
                return job["id"]
            if method == "control.fault":
                mode = params[0].get("mode", "off") if params else "off"
                pool.fault = mode if mode in ("silent", "refuse") else "off"
                if mode == "stale":
                    pool.valid = set()
                for c in clients:
                    if mode == "drop":
                        c.request.shutdown(socket.SHUT_RDWR)
                    elif mode == "garbage":
                        c.wfile.write(b"this is not json\n")
                    elif mode == "longline":
                        c.wfile.write(b"x" * (2 << 20))
                    elif mode == "reconnect":
                        c.send({"id": None, "method": "client.reconnect", "params": []})
                return True
        return None


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    tls = None  # an ssl.SSLContext for stratum+ssl

    def get_request(self):
        sock, addr = super().get_request()
        if self.tls:
            sock = self.tls.wrap_socket(sock, server_side=True)
        return sock, addr


def main():
    ap = argparse.ArgumentParser(description="Simulated Stratum pool for tests and the demo.")
    ap.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1; 0 picks a free one")
    ap.add_argument("--difficulty", type=float, default=1.0 / 65536, help="share difficulty (diff-1: 0xffff << 208)")
    ap.add_argument("--nbits", default="1d00ffff", help="the network target's compact form")
    ap.add_argument("--en2-size", type=int, default=4, help="extranonce2 bytes")
    ap.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), help="stratum+ssl with this certificate and key")
    args = ap.parse_args()
    Handler.pool = Pool(args)
    server = Server(("127.0.0.1", args.port), Handler)
    if args.tls:
        import ssl
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(*args.tls)
    print("stratum+%s://127.0.0.1:%d" % ("ssl" if args.tls else "tcp", server.server_address[1]), flush=True)
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
