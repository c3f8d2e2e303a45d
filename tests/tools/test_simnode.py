"""The simulated node's validation against blocks built here from first
principles, independently of the miner, and against the real main-network
block of the test data: the end-to-end tests trust its verdicts."""
import hashlib
import json
import os
import struct
import sys
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


def root(leaves):
    level = list(leaves)
    while len(level) > 1:
        level += level[-1:] if len(level) % 2 else []
        level = [dsha(level[i] + level[i + 1]) for i in range(0, len(level), 2)]
    return level[0]


def build_block(tpl, *, height_bytes=None, extra_sats=0, commitment="auto", tx_tamper=False, time_value=None,
                want_high_hash=False, flip_root=False, extranonce=0):
    """A block for the template (fewer than 253 transactions, height above 16)."""
    h = tpl["height"]
    height = bytes([(h.bit_length() + 8) // 8]) + h.to_bytes((h.bit_length() + 8) // 8, "little")
    script_sig = (height_bytes or height) + b"\x08" + struct.pack("<Q", extranonce)
    outputs = [(tpl["coinbasevalue"] + extra_sats, b"\x51")]
    txs = [bytes.fromhex(t["data"]) for t in tpl["transactions"]]
    if tx_tamper:
        txs[0] = txs[0][:-5] + bytes([txs[0][-5] ^ 1]) + txs[0][-4:]
    if commitment != "none":
        c = dsha(root([bytes(32)] + [bytes.fromhex(t["hash"])[::-1] for t in tpl["transactions"]]) + bytes(32))
        outputs.append((0, bytes.fromhex("6a24aa21a9ed") + (bytes(32) if commitment == "wrong" else c)))
    body = b"\x01" + bytes(32) + b"\xff" * 4 + bytes([len(script_sig)]) + script_sig + b"\xff" * 4
    body += bytes([len(outputs)]) + b"".join(struct.pack("<Q", v) + bytes([len(s)]) + s for v, s in outputs)
    version, lock = struct.pack("<I", 2), bytes(4)
    full = version + (body + lock if commitment == "none" else b"\x00\x01" + body + b"\x01\x20" + bytes(32) + lock)
    mroot = root([dsha(version + body + lock)] + [bytes.fromhex(t["txid"])[::-1] for t in tpl["transactions"]])
    if flip_root:
        mroot = bytes([mroot[0] ^ 1]) + mroot[1:]
    head = struct.pack("<i", tpl["version"]) + bytes.fromhex(tpl["previousblockhash"])[::-1] + mroot + \
        struct.pack("<I", tpl["curtime"] if time_value is None else time_value) + bytes.fromhex(tpl["bits"])[::-1]
    for nonce in range(1 << 20):
        header = head + struct.pack("<I", nonce)
        if (int.from_bytes(sha3t(header), "little") <= int(tpl["target"], 16)) != want_high_hash:
            return (header + bytes([1 + len(txs)]) + full + b"".join(txs)).hex()


class SimNodeTest(unittest.TestCase):
    def test_verdicts_on_blocks_built_here(self):
        with SimNode("--txs", "6", "--height", "100") as node:
            tpl = node.call("getblocktemplate", {})
            cases = {
                "bad-txnmrklroot": build_block(tpl, flip_root=True),
                "bad-cb-height": build_block(tpl, height_bytes=b"\x01\x63"),
                "bad-cb-amount": build_block(tpl, extra_sats=1),
                "unexpected-witness": build_block(tpl, commitment="none"),
                "bad-witness-merkle-match": build_block(tpl, commitment="wrong"),
                "bad-txns": build_block(tpl, tx_tamper=True),
                "high-hash": build_block(tpl, want_high_hash=True),
                "time-too-old": build_block(tpl, time_value=tpl["mintime"] - 1),
                "time-too-new": build_block(tpl, time_value=int(time.time()) + 7300),
            }
            for reason, block in cases.items():
                self.assertEqual(node.call("submitblock", block), reason)
            good = build_block(tpl)
            self.assertIsNone(node.call("submitblock", good))
            self.assertEqual(node.call("submitblock", good), "duplicate")
            self.assertEqual(node.call("submitblock", build_block(tpl, extranonce=1)), "bad-prevblk")
            # A long poll with the old id returns at once.
            self.assertEqual(node.call("getblocktemplate", {"longpollid": tpl["longpollid"]})["height"], 101)

    def test_real_mainnet_block_against_its_template(self):
        tpl_path = os.path.join(TESTDATA, "mainnet-702861.gbt.json")
        with open(os.path.join(TESTDATA, "mainnet-702861.raw"), "rb") as f:
            raw = f.read()
        with open(tpl_path) as f:
            tpl = json.load(f)
        with SimNode("--template", tpl_path, "--no-pow-check") as node:
            # One changed byte inside the coinbase, or before the locktime of
            # one of the last transactions, makes the block invalid.
            offsets, at = [120], len(raw)
            for t in reversed(tpl["transactions"][-3:]):
                at -= len(t["data"]) // 2
                offsets.append(at + 10)
            for offset in offsets:
                bad = bytearray(raw)
                bad[offset] ^= 0x01
                self.assertIsNotNone(node.call("submitblock", bad.hex()), offset)
            self.assertIsNone(node.call("submitblock", raw.hex()))
        with SimNode("--template", tpl_path) as node:
            self.assertEqual(node.call("submitblock", raw.hex()), "high-hash")  # SHA3 work it never had


if __name__ == "__main__":
    unittest.main()
