#!/usr/bin/env python3
"""A regtest-like VKN node for tests, the demo and users without a chain.

It speaks JSON-RPC 1.0 over HTTP on 127.0.0.1, hands out block templates for
the next block of its own chain (with a mempool of generated legacy and
segwit transactions), holds long polls, and validates submitted blocks by
its own reading of the consensus rules: proof of work is SHA3-256 applied
three times to the 80-byte header. Standard library only; it shares no code
with the miner.

Besides getblocktemplate (block proposals too, BIP 23) and submitblock it answers:
  getblockheader HASH  a block of its chain (error -5 for any other).
  validateaddress ADDR  the scriptPubKey of one of its addresses: segwit
      addresses with the human-readable part "vknrt", Bech32 for witness
      version 0 and Bech32m for later ones (BIP 173, BIP 350).
  getnewaddress  a fresh P2WPKH address (a random key hash).
  setfault {"mode": M, "count": N, "methods": [...], "delay": S, "verdict": V}
      M: http500 | badjson | rpcerror | delay | close | drop | verdict | result | missing | off;
      result answers with {"result": R} for the "result" member R given;
      drop carries the call out, then closes the connection unanswered;
      missing answers as for a method the node lacks (HTTP 404, -32601).
      A proposal matches the method name "proposal"; "verdict" gives it V.
      Applies to the next N matching calls (N < 0: until switched off).
  configure {"txs": N, "bits": B, ...}
      changes the options of the templates (the names of the command-line
      options, with underscores), starts a fresh mempool and wakes long polls.
  rotatecookie  a new cookie secret, as a restarted node writes; the old one is refused.
  generate      another miner found a block: the chain moves on.
  addtxs N      N new mempool transactions.
  getstatus     height, tip, the verdicts so far (an accepted block's with its
                coinbase scriptSig) and the calls received by method.

Run tools/simnode.py --help for the options.
"""
import argparse
import base64
import hashlib
import json
import os
import random
import secrets
import signal
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

# ---------------------------------------------------------------- addresses
# Segwit addresses of this chain: Bech32 (BIP 173) for witness version 0 and
# Bech32m (BIP 350) for later versions, with the human-readable part "vknrt".

ADDRESS_HRP = "vknrt"
BECH32_CHARSET = "qpzry9x8gf2tvdw0s3jn54khce6mua7l"
BECH32M_CONST = 0x2BC830A3


def bech32_polymod(values):
    chk = 1
    for v in values:
        top = chk >> 25
        chk = (chk & 0x1FFFFFF) << 5 ^ v
        for i in range(5):
            chk ^= (0x3B6A57B2, 0x26508E6D, 0x1EA119FA, 0x3D4233DD, 0x2A1462B3)[i] if (top >> i) & 1 else 0
    return chk


def hrp_expand(hrp):
    return [ord(c) >> 5 for c in hrp] + [0] + [ord(c) & 31 for c in hrp]


def convert_bits(data, frm, to, pad):
    acc, bits, out = 0, 0, []
    for v in data:
        acc, bits = (acc << frm) | v, bits + frm
        while bits >= to:
            bits -= to
            out.append((acc >> bits) & ((1 << to) - 1))
    if pad and bits:
        out.append((acc << (to - bits)) & ((1 << to) - 1))
    elif not pad and (bits >= frm or (acc << (to - bits)) & ((1 << to) - 1)):
        return None
    return out


def encode_address(version, program):
    data = [version] + convert_bits(program, 8, 5, True)
    const = 1 if version == 0 else BECH32M_CONST
    poly = bech32_polymod(hrp_expand(ADDRESS_HRP) + data + [0] * 6) ^ const
    return ADDRESS_HRP + "1" + "".join(BECH32_CHARSET[d] for d in data + [(poly >> 5 * (5 - i)) & 31 for i in range(6)])


def address_script(address):
    """The scriptPubKey of one of this chain's addresses, or None."""
    a = address.lower()
    if address not in (a, address.upper()) or not a.startswith(ADDRESS_HRP + "1") or len(a) > 90:
        return None
    try:
        data = [BECH32_CHARSET.index(c) for c in a[len(ADDRESS_HRP) + 1:]]
    except ValueError:
        return None
    if len(data) < 7:
        return None
    const = bech32_polymod(hrp_expand(ADDRESS_HRP) + data)
    version, program = data[0], convert_bits(data[1:-6], 5, 8, False)
    if program is None or version > 16 or const != (1 if version == 0 else BECH32M_CONST) or not 2 <= len(program) <= 40:
        return None
    if version == 0 and len(program) not in (20, 32):
        return None
    return bytes([0x50 + version if version else 0, len(program)] + program)

# ----------------------------------------------------------------- encoding


def dsha256(b):
    return hashlib.sha256(hashlib.sha256(b).digest()).digest()


def sha3t(b):
    for _ in range(3):
        b = hashlib.sha3_256(b).digest()
    return b


def compact_size(n):
    if n < 253:
        return bytes([n])
    if n <= 0xFFFF:
        return b"\xfd" + struct.pack("<H", n)
    if n <= 0xFFFFFFFF:
        return b"\xfe" + struct.pack("<I", n)
    return b"\xff" + struct.pack("<Q", n)


def bits_to_target(bits):
    exponent, mantissa = bits >> 24, bits & 0x7FFFFF
    if bits & 0x800000:
        mantissa = 0
    if exponent <= 3:
        return mantissa >> (8 * (3 - exponent))
    return (mantissa << (8 * (exponent - 3))) % (1 << 256)


def merkle(leaves):
    if not leaves:
        return bytes(32)
    level = list(leaves)
    while len(level) > 1:
        if len(level) % 2:
            level.append(level[-1])
        level = [dsha256(level[i] + level[i + 1]) for i in range(0, len(level), 2)]
    return level[0]


def bip34_prefix(height):
    """The start of the coinbase scriptSig as CScript() << height writes it."""
    if height == 0:
        return b"\x00"
    if 1 <= height <= 16:
        return bytes([0x50 + height])
    n = height.to_bytes((height.bit_length() + 7) // 8, "little")
    if n[-1] & 0x80:
        n += b"\x00"
    return bytes([len(n)]) + n


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError("truncated")
        b = self.data[self.pos:self.pos + n]
        self.pos += n
        return b

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def u64(self):
        return struct.unpack("<Q", self.take(8))[0]

    def size(self):
        first = self.take(1)[0]
        if first < 253:
            return first
        return {253: lambda: struct.unpack("<H", self.take(2))[0],
                254: lambda: struct.unpack("<I", self.take(4))[0],
                255: lambda: struct.unpack("<Q", self.take(8))[0]}[first]()


def parse_tx(r):
    """One transaction: a dict with its raw bytes, stripped form and parts."""
    start = r.pos
    version = r.take(4)
    segwit = r.data[r.pos:r.pos + 2] == b"\x00\x01"
    if segwit:
        r.take(2)
    body_start = r.pos
    inputs = []
    for _ in range(r.size()):
        prev = r.take(32)
        index = r.u32()
        script = r.take(r.size())
        seq = r.u32()
        inputs.append({"prev": prev, "index": index, "script": script, "sequence": seq})
    outputs = []
    for _ in range(r.size()):
        value = r.u64()
        outputs.append({"value": value, "script": r.take(r.size())})
    body_end = r.pos
    witness = []
    if segwit:
        for _ in inputs:
            witness.append([r.take(r.size()) for _ in range(r.size())])
    locktime = r.take(4)
    raw = r.data[start:r.pos]
    stripped = version + r.data[body_start:body_end] + locktime
    return {"raw": raw, "stripped": stripped, "inputs": inputs, "outputs": outputs,
            "witness": witness, "has_witness": segwit and any(w for w in witness)}


# ------------------------------------------------------------- the mempool


def make_tx(rng, segwit):
    prev = rng.randbytes(32)
    out_script = b"\x00\x14" + rng.randbytes(20) if segwit else b"\x76\xa9\x14" + rng.randbytes(20) + b"\x88\xac"
    script_sig = b"" if segwit else bytes([0x47]) + rng.randbytes(0x47) + bytes([0x21]) + rng.randbytes(0x21)
    body = (compact_size(1) + prev + struct.pack("<I", rng.randrange(4)) + compact_size(len(script_sig)) +
            script_sig + struct.pack("<I", 0xFFFFFFFD) + compact_size(1) +
            struct.pack("<Q", rng.randrange(1000, 10 ** 8)) + compact_size(len(out_script)) + out_script)
    version, locktime = struct.pack("<I", 2), struct.pack("<I", 0)
    stripped = version + body + locktime
    if segwit:
        wit = compact_size(2) + compact_size(71) + rng.randbytes(71) + compact_size(33) + rng.randbytes(33)
        raw = version + b"\x00\x01" + body + wit + locktime
    else:
        raw = stripped
    return {"data": raw.hex(), "txid": dsha256(stripped)[::-1].hex(), "hash": dsha256(raw)[::-1].hex(),
            "depends": [], "fee": rng.randrange(200, 20000), "sigops": 4,
            "weight": len(stripped) * 3 + len(raw)}


# ------------------------------------------------------------------ the node


class Node:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.cond = threading.Condition()
        self.faults = []  # active fault rules, each a dict
        self.log_file = open(args.log, "a", buffering=1) if args.log else None
        self.verdicts = []
        self.proposals = []  # the verdict on each proposal
        self.requests = {}  # calls received, by method
        self.blocks = {}  # hash -> height, every block of the chain since the start
        self.mempool_version = 0
        if args.template:
            with open(args.template) as f:
                self.fixed = json.load(f)
            if isinstance(self.fixed.get("result"), dict):  # a whole JSON-RPC reply
                self.fixed = self.fixed["result"]
            self.tip = self.fixed["previousblockhash"]
            self.height = self.fixed["height"] - 1
            self.mempool = list(self.fixed.get("transactions", []))
        else:
            self.fixed = None
            self.tip = dsha256(b"vkn simulated genesis %d" % args.seed)[::-1].hex()
            self.height = args.height - 1
            self.mempool = [self.new_tx() for _ in range(args.txs)]
        self.tip_time = int(time.time()) - 600

    def new_tx(self):
        return make_tx(self.rng, self.rng.random() < self.args.segwit_share)

    def log(self, **entry):
        if self.log_file:
            entry["time"] = round(time.time(), 3)
            self.log_file.write(json.dumps(entry, sort_keys=True) + "\n")

    def longpollid(self):
        return "%s%d" % (self.tip, self.mempool_version)

    # The template for the next block, as a real node shapes it.
    def template(self):
        a = self.args
        if self.fixed is not None:
            return dict(self.fixed)
        txs = list(self.mempool)
        bits = int(a.bits, 16)
        tpl = {
            "capabilities": ["proposal"],
            "version": a.block_version,
            "rules": {"segwit": ["csv", "segwit"], "!segwit": ["csv", "!segwit"], "none": []}[a.rules],
            "vbavailable": {},
            "vbrequired": 0,
            "previousblockhash": self.tip,
            "transactions": txs,
            "coinbaseaux": {"flags": a.coinbaseaux} if a.coinbaseaux is not None else {},
            "coinbasevalue": a.coinbasevalue if a.coinbasevalue is not None
            else 5000000000 + sum(t["fee"] for t in txs),
            "longpollid": self.longpollid(),
            "mintime": self.tip_time + 1,
            "mutable": ["time", "transactions", "prevblock"],
            "noncerange": a.noncerange,
            "sigoplimit": 80000,
            "sizelimit": 4000000,
            "weightlimit": 4000000,
            "curtime": max(int(time.time()), self.tip_time + 1),
            "bits": a.bits,
            "height": self.height + 1,
        }
        if a.target:
            tpl["target"] = "%064x" % bits_to_target(bits)
        if a.default_commitment:
            leaves = [bytes(32)] + [bytes.fromhex(t["hash"])[::-1] for t in txs]
            commitment = dsha256(merkle(leaves) + bytes(32))
            tpl["default_witness_commitment"] = "6a24aa21a9ed" + commitment.hex()
        if a.no_longpollid:
            del tpl["longpollid"]
        if a.workid:
            tpl["workid"] = "w" + self.longpollid()[-12:]
        return tpl

    def changed(self):
        """Wakes held long polls: the template is a new one."""
        self.cond.notify_all()

    def advance(self, block_hash, block_time):
        self.height += 1
        self.tip = block_hash
        self.tip_time = block_time
        self.blocks[block_hash] = self.height
        if self.fixed is None:
            self.mempool = [self.new_tx() for _ in range(self.args.txs)]
        self.changed()

    def configure(self, changes):
        for key, value in changes.items():
            if not hasattr(self.args, key) or key in ("port", "template", "log", "cookie", "rpc_user", "rpc_pass"):
                raise ValueError("cannot configure " + key)
            setattr(self.args, key, value)
        if "height" in changes:
            self.height = changes["height"] - 1
        if self.fixed is None:
            self.mempool = [self.new_tx() for _ in range(self.args.txs)]
        self.mempool_version += 1
        self.changed()
        return True

    def add_txs(self, n):
        if self.fixed is None:
            self.mempool.extend(self.new_tx() for _ in range(n))
            self.mempool_version += 1
            self.changed()

    # --------------------------------------------------------- validation

    def validate(self, block_hex, proposal=False):
        """None when the block extends the chain, else the reason; a proposal
        is checked but for its proof of work, and one on a parent that is no
        longer the tip is inconclusive (BIP 23)."""
        try:
            data = bytes.fromhex(block_hex)
        except ValueError:
            return "bad-hex"
        tpl = self.template()
        if len(data) < 81:
            return "bad-blk-length"
        header = data[:80]
        version, = struct.unpack_from("<i", header, 0)
        prev = header[4:36][::-1].hex()
        root = header[36:68]
        btime, bits = struct.unpack_from("<II", header, 68)
        block_hash = sha3t(header)[::-1].hex()
        if block_hash in self.blocks:
            return "duplicate"
        if prev != self.tip:
            return "inconclusive-not-best-prevblk" if proposal else "bad-prevblk"
        if version != tpl["version"]:
            return "bad-version"
        if bits != int(tpl["bits"], 16):
            return "bad-diffbits"
        if btime < tpl["mintime"]:
            return "time-too-old"
        if btime > int(time.time()) + 7200:
            return "time-too-new"
        if not proposal and not self.args.no_pow_check and int.from_bytes(sha3t(header), "little") > bits_to_target(bits):
            return "high-hash"
        try:
            r = Reader(data)
            r.take(80)
            count = r.size()
            txs = [parse_tx(r) for _ in range(count)]
            if r.pos != len(data):
                return "bad-blk-length"
        except (ValueError, KeyError):
            return "bad-txns-undecodable"
        if count < 1:
            return "bad-cb-missing"
        if merkle([dsha256(t["stripped"]) for t in txs]) != root:
            return "bad-txnmrklroot"
        if [t["raw"].hex() for t in txs[1:]] != [t["data"] for t in tpl["transactions"]]:
            # This node knows no transactions but its current mempool's: an older template's are not wrong.
            return "bad-txns"
        cb = txs[0]
        if len(cb["inputs"]) != 1 or cb["inputs"][0]["prev"] != bytes(32) or cb["inputs"][0]["index"] != 0xFFFFFFFF:
            return "bad-cb-missing"
        script_sig = cb["inputs"][0]["script"]
        if not 2 <= len(script_sig) <= 100:
            return "bad-cb-length"
        if not script_sig.startswith(bip34_prefix(tpl["height"])):
            return "bad-cb-height"
        if sum(o["value"] for o in cb["outputs"]) != tpl["coinbasevalue"]:
            return "bad-cb-amount"
        # BIP141: the last output carrying the commitment header commits to
        # the witness tree; witness data needs one, and none is allowed
        # without it.
        commit_at = None
        for i, o in enumerate(cb["outputs"]):
            if len(o["script"]) >= 38 and o["script"][:6] == bytes.fromhex("6a24aa21a9ed"):
                commit_at = i
        if commit_at is not None:
            wit = cb["witness"][0] if cb["witness"] else []
            if len(wit) != 1 or len(wit[0]) != 32:
                return "bad-witness-nonce-size"
            leaves = [bytes(32)] + [dsha256(t["raw"]) for t in txs[1:]]
            if dsha256(merkle(leaves) + wit[0]) != cb["outputs"][commit_at]["script"][6:38]:
                return "bad-witness-merkle-match"
        elif any(t["has_witness"] for t in txs):
            return "unexpected-witness"
        return None, block_hash, btime, script_sig.hex(), [[o["value"], o["script"].hex()] for o in cb["outputs"]]

    def header(self, block_hash):
        """getblockheader: the chain never forks here, so every known block is in it."""
        if block_hash not in self.blocks:
            raise RpcFault(-5, "Block not found")
        height = self.blocks[block_hash]
        return {"hash": block_hash, "height": height, "confirmations": self.height - height + 1}

    def submit(self, block_hex, options=None):
        with self.cond:
            workid = (options or {}).get("workid") if isinstance(options, dict) else None
            if self.args.workid and workid is None:
                result = "missing-workid"
            else:
                result = self.validate(block_hex)
            if isinstance(result, tuple):
                _, block_hash, btime, coinbase, outputs = result
                self.advance(block_hash, btime)
                self.verdicts.append({"height": self.height, "hash": block_hash, "bytes": len(block_hex) // 2,
                                      "coinbase": coinbase, "outputs": outputs, "verdict": None, "workid": workid})
                self.log(kind="block", height=self.height, hash=block_hash, bytes=len(block_hex) // 2, verdict=None)
                return None
            self.verdicts.append({"height": self.height + 1, "verdict": result})
            self.log(kind="block", height=self.height + 1, verdict=result)
            return result

    def propose(self, request):
        """BIP 23: the verdict submitblock would give, but for the proof of work."""
        with self.cond:
            if self.args.workid and request.get("workid") is None:
                result = "missing-workid"
            else:
                result = self.validate(request.get("data", ""), proposal=True)
            result = None if isinstance(result, tuple) else result
            # Checked against the current template alone: a block of an older one (reconfigured, a new
            # mempool) differs from it without being wrong, as a real node that knows its chain would see.
            if result in ("bad-version", "bad-diffbits", "time-too-old", "bad-txns"):
                result = "inconclusive-template-changed"
            self.proposals.append(result)
            return result

    def validate_address(self, address):
        script = address_script(address) if isinstance(address, str) else None
        if script is None:
            return {"isvalid": False, "error": "Invalid address"}
        return {"isvalid": True, "address": address, "scriptPubKey": script.hex(), "iswitness": True,
                "isscript": script[0] == 0 and len(script) == 34, "witness_version": script[0] - 0x50 if script[0] else 0,
                "witness_program": script[2:].hex()}

    def get_template(self, params):
        request = params[0] if params and isinstance(params[0], dict) else {}
        want = request.get("longpollid")
        with self.cond:
            if want is not None and want == self.longpollid():
                deadline = time.time() + self.args.longpoll_timeout
                while want == self.longpollid() and time.time() < deadline:
                    self.cond.wait(timeout=min(1.0, deadline - time.time()))
            return self.template()

    def take_fault(self, method):
        with self.cond:
            for f in self.faults:
                if f["methods"] and method not in f["methods"]:
                    continue
                if f["count"] == 0:
                    continue
                if f["count"] > 0:
                    f["count"] -= 1
                return dict(f)
        return None

    def set_fault(self, spec):
        with self.cond:
            if spec.get("mode", "off") == "off":
                self.faults = []
                return True
            self.faults.append({"mode": spec["mode"], "count": int(spec.get("count", -1)),
                                "methods": spec.get("methods") or [], "delay": float(spec.get("delay", 1)),
                                "verdict": spec.get("verdict", "rejected"), "result": spec.get("result")})
            return True

    def tick_mempool(self):
        while self.args.tx_interval:
            time.sleep(self.args.tx_interval)
            with self.cond:
                self.add_txs(1 + self.rng.randrange(3))


# -------------------------------------------------------------------- HTTP


class RpcFault(Exception):
    """A JSON-RPC error object with its code, as a real node answers."""

    def __init__(self, code, message):
        super().__init__(message)
        self.code = code


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    node = None  # set by main
    accepted_auth = set()  # empty: no credentials needed
    cookie_auth = None

    @classmethod
    def write_cookie(cls, path):
        """A fresh secret in the cookie file, accepted instead of the last one."""
        secret = "__cookie__:" + secrets.token_hex(32)
        with open(path, "w") as f:
            f.write(secret)
        cls.accepted_auth.discard(cls.cookie_auth)
        cls.cookie_auth = "Basic " + base64.b64encode(secret.encode()).decode()
        cls.accepted_auth.add(cls.cookie_auth)

    def log_message(self, *args):
        pass

    def reply(self, status, body):
        raw = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(raw)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(raw)
        self.close_connection = True

    def do_POST(self):
        node = self.node
        length = int(self.headers.get("Content-Length", 0))
        body = self.rfile.read(length)
        if self.accepted_auth and self.headers.get("Authorization") not in self.accepted_auth:
            node.log(kind="request", method=None, status=401)
            return self.reply(401, "")
        try:
            request = json.loads(body)
            method, params, rid = request.get("method"), request.get("params") or [], request.get("id")
        except (ValueError, AttributeError):
            return self.reply(400, "")
        if method == "getblocktemplate" and params and isinstance(params[0], dict) and params[0].get("mode") == "proposal":
            method = "proposal"  # counted, and matched by faults, apart from template requests
        with node.cond:
            node.requests[method] = node.requests.get(method, 0) + 1
        node.log(kind="request", method=method, id=rid,
                 longpollid=(params[0].get("longpollid") if method == "getblocktemplate" and params
                             and isinstance(params[0], dict) else None))

        fault = node.take_fault(method) if method != "setfault" else None
        if fault:
            mode = fault["mode"]
            if mode == "close":
                self.close_connection = True
                return
            if mode == "http500":
                return self.reply(500, json.dumps({"result": None, "id": rid,
                                                   "error": {"code": -32603, "message": "injected failure"}}))
            if mode == "badjson":
                return self.reply(200, "{this is not json")
            if mode == "rpcerror":
                return self.reply(200, json.dumps({"result": None, "id": rid,
                                                   "error": {"code": -10, "message": "injected error"}}))
            if mode == "result":
                return self.reply(200, json.dumps({"result": fault["result"], "error": None, "id": rid}))
            if mode == "delay":
                time.sleep(fault["delay"])
            if mode == "missing":
                return self.reply(404, json.dumps({"result": None, "id": rid,
                                                   "error": {"code": -32601, "message": "Method not found"}}))
            if mode == "verdict" and method in ("submitblock", "proposal"):
                node.log(kind="block", verdict=fault["verdict"], injected=True)
                return self.reply(200, json.dumps({"result": fault["verdict"], "error": None, "id": rid}))

        if fault and fault["mode"] == "drop":
            self.close_connection = True
        try:
            if method == "getblocktemplate":
                result = node.get_template(params)
            elif method == "proposal":
                result = node.propose(params[0])
            elif method == "validateaddress":
                result = node.validate_address(params[0] if params else None)
            elif method == "getnewaddress":
                with node.cond:
                    result = encode_address(0, bytes(node.rng.randrange(256) for _ in range(20)))
            elif method == "submitblock":
                result = node.submit(params[0], params[1] if len(params) > 1 else None)
            elif method == "getblockheader":
                with node.cond:
                    result = node.header(params[0])
            elif method == "setfault":
                result = node.set_fault(params[0] if params else {})
            elif method == "generate":
                with node.cond:
                    fake = secrets.token_bytes(32)[::-1].hex()
                    node.advance(fake, max(int(time.time()), node.tip_time + 1))
                    result = node.height
            elif method == "rotatecookie" and node.args.cookie:
                with node.cond:
                    Handler.write_cookie(node.args.cookie)
                    result = True
            elif method == "configure":
                with node.cond:
                    result = node.configure(params[0] if params else {})
            elif method == "addtxs":
                with node.cond:
                    node.add_txs(int(params[0]) if params else 1)
                    result = len(node.mempool)
            elif method == "getstatus":
                with node.cond:
                    result = {"height": node.height, "tip": node.tip, "verdicts": node.verdicts,
                              "requests": node.requests, "proposals": node.proposals}
            else:
                return self.reply(404, json.dumps({"result": None, "id": rid,
                                                   "error": {"code": -32601, "message": "Method not found"}}))
        except (BrokenPipeError, ConnectionResetError):
            return
        except RpcFault as e:
            return self.reply(200, json.dumps({"result": None, "id": rid,
                                               "error": {"code": e.code, "message": str(e)}}))
        except ValueError as e:
            return self.reply(200, json.dumps({"result": None, "id": rid, "error": {"code": -8, "message": str(e)}}))
        if fault and fault["mode"] == "drop":
            return
        try:
            self.reply(200, json.dumps({"result": result, "error": None, "id": rid}))
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up on a held long poll


def main():
    ap = argparse.ArgumentParser(description="Simulated VKN node for tests and the demo.")
    ap.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1; 0 picks a free one")
    ap.add_argument("--rpc-user", help="require this user (with --rpc-pass), or the cookie's")
    ap.add_argument("--rpc-pass", default="", help="password for --rpc-user")
    ap.add_argument("--cookie", help="write a cookie file here and require its credentials")
    ap.add_argument("--txs", type=int, default=5, help="mempool transactions in each template")
    ap.add_argument("--segwit-share", type=float, default=0.5, help="share of segwit transactions")
    ap.add_argument("--bits", default="207fffff", help="compact target, 8 hex digits")
    ap.add_argument("--no-target", dest="target", action="store_false", help="leave out the 'target' member")
    ap.add_argument("--rules", choices=["segwit", "!segwit", "none"], default="segwit")
    ap.add_argument("--no-default-commitment", dest="default_commitment", action="store_false",
                    help="leave out default_witness_commitment")
    ap.add_argument("--coinbaseaux", help="hex for coinbaseaux.flags")
    ap.add_argument("--noncerange", default="00000000ffffffff")
    ap.add_argument("--coinbasevalue", type=int, help="fixed coinbase value (default 50 coins plus fees)")
    ap.add_argument("--no-longpollid", action="store_true", help="offer no long poll")
    ap.add_argument("--workid", action="store_true", help="templates carry a workid that blocks must bring back")
    ap.add_argument("--block-version", type=int, default=0x20000000)
    ap.add_argument("--height", type=int, default=1, help="height of the first block to mine")
    ap.add_argument("--template", help="serve this template file and validate against it")
    ap.add_argument("--no-pow-check", action="store_true", help="skip the proof-of-work check")
    ap.add_argument("--tx-interval", type=float, default=0, help="new mempool transactions every N seconds")
    ap.add_argument("--longpoll-timeout", type=float, default=60, help="longest hold of a long poll")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--log", help="append a JSON line per request and per submitted block")
    args = ap.parse_args()

    node = Node(args)
    Handler.node = node
    if args.cookie:
        Handler.write_cookie(args.cookie)
    if args.rpc_user:
        Handler.accepted_auth.add("Basic " + base64.b64encode((args.rpc_user + ":" + args.rpc_pass).encode()).decode())

    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    print("http://127.0.0.1:%d/" % server.server_address[1], flush=True)

    def stop(*_):
        raise SystemExit(0)
    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGTERM, stop)
    if args.tx_interval:
        threading.Thread(target=node.tick_mempool, daemon=True).start()
    try:
        server.serve_forever(poll_interval=0.1)
    finally:
        if args.cookie and os.path.exists(args.cookie):
            os.remove(args.cookie)
        if node.log_file:
            node.log_file.close()


if __name__ == "__main__":
    main()
