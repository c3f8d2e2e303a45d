"""The simulated node against blocks built here, independently of the miner,
and against the real main-network block of the test data."""
import hashlib
import json
import os
import struct
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nodeclient import SimNode, TESTDATA  # noqa: E402


def dsha(b):
    return hashlib.sha256(hashlib.sha256(b).digest()).digest()


def sha3t(b):
    for _ in range(3):
        b = hashlib.sha3_256(b).digest()
    return b


def cs(n):
    return bytes([n]) if n < 253 else b"\xfd" + struct.pack("<H", n)


def root(leaves):
    level = list(leaves)
    while len(level) > 1:
        if len(level) % 2:
            level.append(level[-1])
        level = [dsha(level[i] + level[i + 1]) for i in range(0, len(level), 2)]
    return level[0]


def height_push(h):
    if 1 <= h <= 16:
        return bytes([0x50 + h])
    n = h.to_bytes((h.bit_length() + 7) // 8, "little")
    if n[-1] & 0x80:
        n += b"\x00"
    return bytes([len(n)]) + n


def build_block(tpl, *, height=None, extra_sats=0, commitment="auto", height_bytes=None, tx_tamper=None,
                time_value=None, want_high_hash=False, flip_root=False, extranonce=0):
    """A block for the template, built from first principles."""
    height = tpl["height"] if height is None else height
    script_sig = (height_bytes if height_bytes is not None else height_push(height)) + b"\x08" + struct.pack("<Q", extranonce)
    outputs = [(tpl["coinbasevalue"] + extra_sats, bytes.fromhex("51"))]
    txs = [bytes.fromhex(t["data"]) for t in tpl["transactions"]]
    if tx_tamper is not None:
        txs[tx_tamper] = txs[tx_tamper][:-5] + bytes([txs[tx_tamper][-5] ^ 1]) + txs[tx_tamper][-4:]
    wtxids = [bytes.fromhex(t["hash"])[::-1] for t in tpl["transactions"]]
    use_commit = commitment != "none"
    if use_commit:
        c = dsha(root([bytes(32)] + wtxids) + bytes(32))
        if commitment == "wrong":
            c = bytes(32)
        outputs.append((0, bytes.fromhex("6a24aa21a9ed") + c))
    body = cs(1) + bytes(32) + b"\xff\xff\xff\xff" + cs(len(script_sig)) + script_sig + b"\xff\xff\xff\xff"
    body += cs(len(outputs)) + b"".join(struct.pack("<Q", v) + cs(len(s)) + s for v, s in outputs)
    stripped = struct.pack("<I", 2) + body + bytes(4)
    full = struct.pack("<I", 2) + (b"\x00\x01" if use_commit else b"") + body + \
        (b"\x01\x20" + bytes(32) if use_commit else b"") + bytes(4)
    mroot = root([dsha(stripped)] + [bytes.fromhex(t["txid"])[::-1] for t in tpl["transactions"]])
    if flip_root:
        mroot = bytes([mroot[0] ^ 1]) + mroot[1:]
    t = tpl["curtime"] if time_value is None else time_value
    head = struct.pack("<i", tpl["version"]) + bytes.fromhex(tpl["previousblockhash"])[::-1] + mroot + \
        struct.pack("<I", t) + bytes.fromhex(tpl["bits"])[::-1]
    target = int(tpl["target"], 16)
    for nonce in range(1 << 20):
        header = head + struct.pack("<I", nonce)
        if (int.from_bytes(sha3t(header), "little") <= target) != want_high_hash:
            break
    return (header + cs(1 + len(txs)) + full + b"".join(txs)).hex()


class SimNodeTest(unittest.TestCase):
    def setUp(self):
        self.node = SimNode("--txs", "6", "--seed", "3")
        self.addCleanup(self.node.stop)

    def test_template_shape(self):
        tpl = self.node.call("getblocktemplate", {"rules": ["segwit"]})
        for key in ("version", "previousblockhash", "coinbasevalue", "height", "curtime", "mintime", "bits", "target",
                    "longpollid", "rules", "mutable", "noncerange", "default_witness_commitment", "capabilities",
                    "vbavailable", "sigoplimit", "weightlimit", "coinbaseaux"):
            self.assertIn(key, tpl)
        self.assertEqual(len(tpl["transactions"]), 6)
        self.assertTrue(any(t["hash"] != t["txid"] for t in tpl["transactions"]))
        self.assertTrue(any(t["hash"] == t["txid"] for t in tpl["transactions"]))
        for t in tpl["transactions"]:
            self.assertEqual(dsha(bytes.fromhex(t["data"]))[::-1].hex(), t["hash"])
            self.assertIn("fee", t)
            self.assertIn("weight", t)

    def test_accepts_independent_block_and_wakes_long_poll(self):
        tpl = self.node.call("getblocktemplate", {})
        woke = {}

        def poll():
            woke["tpl"] = self.node.call("getblocktemplate", {"longpollid": tpl["longpollid"]})
        waiter = threading.Thread(target=poll)
        waiter.start()
        time.sleep(0.5)
        self.assertTrue(waiter.is_alive())  # held
        self.assertIsNone(self.node.call("submitblock", build_block(tpl)))
        waiter.join(10)
        self.assertEqual(woke["tpl"]["height"], tpl["height"] + 1)
        self.assertNotEqual(woke["tpl"]["previousblockhash"], tpl["previousblockhash"])
        self.assertEqual(self.node.call("getstatus")["height"], tpl["height"])

    def test_rejections(self):
        tpl = self.node.call("getblocktemplate", {})
        cases = {
            "bad-txnmrklroot": build_block(tpl, flip_root=True),
            "bad-cb-height": build_block(tpl, height_bytes=b"\x01" + bytes([tpl["height"]])),
            "bad-cb-amount": build_block(tpl, extra_sats=1),
            "unexpected-witness": build_block(tpl, commitment="none"),
            "bad-witness-merkle-match": build_block(tpl, commitment="wrong"),
            "bad-txns": build_block(tpl, tx_tamper=0),
            "high-hash": build_block(tpl, want_high_hash=True),
            "time-too-old": build_block(tpl, time_value=tpl["mintime"] - 1),
            "time-too-new": build_block(tpl, time_value=int(time.time()) + 7300),
        }
        for reason, block in cases.items():
            self.assertEqual(self.node.call("submitblock", block), reason, reason)
        good = build_block(tpl)
        self.assertIsNone(self.node.call("submitblock", good))
        self.assertEqual(self.node.call("submitblock", good), "duplicate")
        self.assertEqual(self.node.call("submitblock", build_block(tpl, extranonce=1)), "bad-prevblk")

    def test_fault_injection(self):
        n = self.node
        n.call("setfault", {"mode": "http500", "count": 1})
        status, body = n.post('{"id":1,"method":"getblocktemplate","params":[]}')
        self.assertEqual(status, 500)
        self.assertIn("injected failure", body)
        self.assertEqual(n.post('{"id":1,"method":"getblocktemplate","params":[]}')[0], 200)  # count used up
        n.call("setfault", {"mode": "badjson", "count": 1})
        self.assertEqual(n.post('{"id":1,"method":"getstatus","params":[]}'), (200, "{this is not json"))
        n.call("setfault", {"mode": "rpcerror", "count": 1, "methods": ["submitblock"]})
        n.call("getstatus")  # another method: not affected
        self.assertIn("injected error", n.post('{"id":1,"method":"submitblock","params":["00"]}')[1])
        n.call("setfault", {"mode": "verdict", "count": 1, "verdict": "inconclusive"})
        self.assertEqual(n.call("submitblock", "00"), "inconclusive")
        n.call("setfault", {"mode": "delay", "delay": 0.7, "count": 1})
        start = time.time()
        n.call("getstatus")
        self.assertGreaterEqual(time.time() - start, 0.6)
        n.call("setfault", {"mode": "close"})  # until switched off
        for _ in range(2):
            with self.assertRaises(Exception):
                n.call("getstatus")
        n.call("setfault", {"mode": "off"})
        self.assertIn("height", n.call("getstatus"))


class MempoolTest(unittest.TestCase):
    def test_new_transactions_and_timeout_end_a_long_poll(self):
        with SimNode("--tx-interval", "0.5", "--txs", "1") as node:
            tpl = node.call("getblocktemplate", {})
            start = time.time()
            later = node.call("getblocktemplate", {"longpollid": tpl["longpollid"]})
            self.assertLess(time.time() - start, 3)
            self.assertGreater(len(later["transactions"]), 1)
            self.assertEqual(later["height"], tpl["height"])
            self.assertNotEqual(later["longpollid"], tpl["longpollid"])
        with SimNode("--longpoll-timeout", "0.5") as node:
            tpl = node.call("getblocktemplate", {})
            start = time.time()
            again = node.call("getblocktemplate", {"longpollid": tpl["longpollid"]})
            self.assertGreaterEqual(time.time() - start, 0.4)
            self.assertEqual(again["longpollid"], tpl["longpollid"])


class AuthTest(unittest.TestCase):
    def test_cookie_and_user(self):
        import tempfile
        d = tempfile.mkdtemp()
        cookie = os.path.join(d, ".cookie")
        with SimNode("--cookie", cookie) as node:
            self.assertEqual(node.post('{"id":1,"method":"getstatus","params":[]}'), (401, ""))
            node.use_cookie(cookie)
            self.assertTrue(open(cookie).read().startswith("__cookie__:"))
            self.assertIn("height", node.call("getstatus"))
        self.assertFalse(os.path.exists(cookie))  # removed on exit
        with SimNode("--rpc-user", "u", "--rpc-pass", "p", user="u", password="wrong") as node:
            self.assertEqual(node.post('{"id":1,"method":"getstatus","params":[]}')[0], 401)
            node.auth = None
            self.assertEqual(node.post('{"id":1,"method":"getstatus","params":[]}')[0], 401)


class RealBlockTest(unittest.TestCase):
    """The node's checks agree with real consensus data."""

    def test_mainnet_block_against_its_template(self):
        tpl_path = os.path.join(TESTDATA, "mainnet-702861.gbt.json")
        raw = open(os.path.join(TESTDATA, "mainnet-702861.raw"), "rb").read()
        tpl = json.load(open(tpl_path))
        with SimNode("--template", tpl_path, "--no-pow-check") as node:
            # One changed byte in a transaction (the last byte before the
            # locktime of a few of them) makes the block invalid.
            offset = len(raw)
            for i, t in enumerate(reversed(tpl["transactions"][-3:])):
                offset -= len(t["data"]) // 2
                bad = bytearray(raw)
                bad[offset + 10] ^= 0x01
                self.assertIsNotNone(node.call("submitblock", bad.hex()))
            bad = bytearray(raw)
            bad[120] ^= 0x01  # inside the coinbase
            self.assertIsNotNone(node.call("submitblock", bad.hex()))
            self.assertIsNone(node.call("submitblock", raw.hex()))
        with SimNode("--template", tpl_path) as node:
            self.assertEqual(node.call("submitblock", raw.hex()), "high-hash")  # SHA3 work it never had


if __name__ == "__main__":
    unittest.main()
