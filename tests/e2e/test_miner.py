"""The real vkn-miner binary (--cpu) against the simulated node, end to end.

VKN_MINER names the binary. Every run has a time limit.
"""
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nodeclient import SimNode  # noqa: E402

MINER = os.environ.get("VKN_MINER", "build/src/vkn-miner")
PAYOUT = "76a91400112233445566778899aabbccddeeff0011223388ac"
IMPOSSIBLE_BITS = "03000001"  # a target of 1: nothing meets it


def line_buffered(cmd):
    # The miner keeps stdout's usual buffering; tests that react to its lines
    # while it runs ask for line buffering from outside.
    return ["stdbuf", "-oL"] + cmd


class Run:
    """A finished miner run: status and the two streams as line lists."""

    def __init__(self, cmd, timeout=60, env=None):
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
        self.status, self.out, self.err = p.returncode, p.stdout.splitlines(), p.stderr.splitlines()

    def __repr__(self):
        return "status=%s\nstdout:\n%s\nstderr:\n%s" % (self.status, "\n".join(self.out), "\n".join(self.err))


def miner(url, *extra):
    return [MINER, "--cpu", "--cpu-threads", "1", "--iters", "4", "--rpc-url", url, "--payout", PAYOUT, *extra]


class Miner:
    """A miner left running, its stdout read line by line."""

    def __init__(self, cmd):
        self.proc = subprocess.Popen(line_buffered(cmd), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines = []

    def wait_for(self, pattern, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            line = self.proc.stdout.readline()
            if not line:
                break
            self.lines.append(line.rstrip("\n"))
            if re.search(pattern, line):
                return line.rstrip("\n")
        raise AssertionError("no line matching %r in:\n%s" % (pattern, "\n".join(self.lines)))

    def stop(self, sig):
        start = time.time()
        self.proc.send_signal(sig)
        out, err = self.proc.communicate(timeout=10)
        self.lines += out.splitlines()
        return self.proc.returncode, time.time() - start, err

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()


class StartupAndMineOne(unittest.TestCase):
    def test_startup_lines_and_accepted_block(self):
        home = tempfile.mkdtemp()
        cookie = os.path.join(home, ".cookie")
        with SimNode("--cookie", cookie, "--txs", "4") as node:
            node.use_cookie(cookie)
            tpl = node.call("getblocktemplate", {})
            r = Run([MINER, "--cpu", "--cpu-threads", "1", "--iters", "4", "--rpc-url", node.url, "--rpc-cookie",
                     cookie, "--payout", PAYOUT, "--mine-one"])
            self.assertEqual(r.status, 0, r)
            self.assertEqual(r.out[0], "[cpu] threads=1 nonces/batch=2048")
            self.assertEqual(r.out[1], "[rpc] url=%s cookie=%s" % (node.url, cookie))
            self.assertEqual(r.out[2], "[work] height=%d txs=5 coinbasevalue=%d target=%s nonces=0..4294967295 "
                                       "longpoll=yes" % (tpl["height"], tpl["coinbasevalue"], tpl["target"]))
            found = [l for l in r.out if l.startswith("[found]")]
            self.assertEqual(len(found), 1, r)
            m = re.fullmatch(r"\[found\] nonce=(\d+) hash=([0-9a-f]{64}) block_bytes=(\d+) submitting\.\.\.", found[0])
            self.assertTrue(m, found[0])
            self.assertEqual(r.out[-1], "[submit] accepted by node")
            self.assertNotIn("[exit] stopped", r.out)
            status = node.call("getstatus")
            accepted = status["verdicts"][-1]
            self.assertIsNone(accepted["verdict"])
            self.assertEqual(accepted["hash"], m.group(2))  # the node's own SHA3-256t of the header
            self.assertEqual(accepted["bytes"], int(m.group(3)))
            self.assertLessEqual(int(m.group(2), 16), int(tpl["target"], 16))

    def test_user_line_and_redacted_password(self):
        with SimNode("--rpc-user", "alice", "--rpc-pass", "s3cret") as node:
            url = node.url.replace("http://", "http://alice:s3cret@")
            r = Run(miner(url, "--mine-one"))
            self.assertEqual(r.status, 0, r)
            self.assertEqual(r.out[1], "[rpc] url=" + node.url.replace("http://", "http://alice:***@"))
            self.assertNotIn("s3cret", "\n".join(r.out + r.err))
            r = Run(miner(node.url, "--rpc-user", "alice", "--rpc-pass", "s3cret", "--mine-one"))
            self.assertEqual(r.out[1], "[rpc] url=%s user=alice" % node.url)
            self.assertIn("[submit] accepted by node", r.out)

    def test_node_verdict(self):
        with SimNode() as node:
            node.call("setfault", {"mode": "verdict", "verdict": "inconclusive", "methods": ["submitblock"]})
            r = Run(miner(node.url, "--mine-one"))
            self.assertEqual(r.status, 0, r)
            self.assertEqual(r.out[-1], '[submit] node returned: "inconclusive"')

    def test_connection_failure_keeps_the_block(self):
        with SimNode() as node:
            node.call("setfault", {"mode": "close", "count": 3, "methods": ["submitblock"]})
            start = time.time()
            r = Run(miner(node.url, "--mine-one"))
            self.assertEqual(r.status, 0, r)
            failures = [l for l in r.err if l.startswith("[submit] submitblock failed: RPC curl failure calling "
                                                         "submitblock: ")]
            self.assertEqual(len(failures), 3, r)
            self.assertGreaterEqual(time.time() - start, 2.0)  # a second between attempts
            unsent = [l for l in r.err if l.startswith("[submit] unsent block hex=")]
            self.assertEqual(len(unsent), 1, r)
            # The user can hand the printed block to the node: it is valid.
            self.assertIsNone(node.call("submitblock", unsent[0].split("=", 1)[1]))

    def test_transient_failure_then_accepted(self):
        with SimNode() as node:
            node.call("setfault", {"mode": "close", "count": 1, "methods": ["submitblock"]})
            r = Run(miner(node.url, "--mine-one"))
            self.assertEqual(r.status, 0, r)
            self.assertEqual(len([l for l in r.err if l.startswith("[submit] submitblock failed")]), 1, r)
            self.assertEqual(r.out[-1], "[submit] accepted by node")

    def test_rpc_error_on_submit_is_not_retried(self):
        with SimNode() as node:
            node.call("setfault", {"mode": "rpcerror", "methods": ["submitblock"]})
            r = Run(miner(node.url, "--mine-one"))
            self.assertEqual(r.status, 0, r)
            self.assertEqual(r.err, ['[submit] submitblock failed: JSON-RPC error calling submitblock: '
                                     '{"code":-10,"message":"injected error"}'])


class TemplateVariants(unittest.TestCase):
    def check_accepted(self, *node_args, extra=()):
        with SimNode(*node_args) as node:
            r = Run(miner(node.url, "--mine-one", *extra))
            self.assertEqual(r.status, 0, r)
            self.assertEqual(r.out[-1], "[submit] accepted by node", r)
            self.assertIsNone(node.call("getstatus")["verdicts"][-1]["verdict"])
            return r

    def test_segwit_without_default_commitment(self):
        self.check_accepted("--txs", "6", "--segwit-share", "1", "--no-default-commitment", "--rules", "!segwit")

    def test_with_default_commitment(self):
        self.check_accepted("--txs", "6", "--segwit-share", "0.5")

    def test_no_transactions(self):
        r = self.check_accepted("--txs", "0", "--rules", "none", "--no-default-commitment")
        self.assertIn(" txs=1 ", r.out[2])

    def test_legacy_only_no_rules(self):
        self.check_accepted("--txs", "5", "--segwit-share", "0", "--rules", "none", "--no-default-commitment")

    def test_coinbaseaux(self):
        self.check_accepted("--coinbaseaux", "0102abcd")

    def test_bits_only_and_target(self):
        r = self.check_accepted("--no-target", "--bits", "2007ffff")
        self.assertIn(" target=07ffff" + "0" * 58 + " ", r.out[2])
        self.check_accepted("--bits", "2007ffff")

    def test_early_heights_use_small_integer_opcodes(self):
        for height in ("1", "16", "17"):
            self.check_accepted("--height", height)


class RunningMiner(unittest.TestCase):
    def stop_cleanly(self, m, sig):
        """A signal ends the run within two seconds: "[exit] stopped", status 0."""
        status, took, err = m.stop(sig)
        self.assertEqual(status, 0, err)
        self.assertLess(took, 2.0)
        self.assertEqual(m.lines[-1], "[exit] stopped")
        return err

    def test_several_blocks_then_sigint(self):
        with SimNode("--txs", "3") as node:
            m = Miner(miner(node.url, "--status-sec", "1"))
            try:
                m.wait_for(r"^\[work\] height=1 ")
                # Block after block, each followed by fresh work.
                for height in (2, 3, 4):
                    m.wait_for(r"^\[work\] height=%d " % height)
                self.stop_cleanly(m, signal.SIGINT)
            finally:
                m.kill()
            verdicts = node.call("getstatus")["verdicts"]
            self.assertGreaterEqual(len(verdicts), 3)
            self.assertTrue(all(v["verdict"] is None for v in verdicts), verdicts)

    def test_longpoll_update_then_sigterm(self):
        with SimNode("--bits", IMPOSSIBLE_BITS) as node:
            m = Miner(miner(node.url))
            try:
                m.wait_for(r"^\[work\] height=1 .* longpoll=yes$")
                time.sleep(0.5)
                node.call("addtxs", 2)  # a template change the miner did not cause
                m.wait_for(r"^\[work\] longpoll update received$")
                self.assertIn(" txs=8 ", m.wait_for(r"^\[work\] height=1 "))
                node.call("generate")  # a block found elsewhere
                m.wait_for(r"^\[work\] longpoll update received$")
                m.wait_for(r"^\[work\] height=2 ")
                err = self.stop_cleanly(m, signal.SIGTERM)
            finally:
                m.kill()
            self.assertNotIn("[longpoll]", err)

    def test_periodic_refresh_and_failed_refresh(self):
        with SimNode("--bits", IMPOSSIBLE_BITS) as node:
            m = Miner(miner(node.url, "--no-longpoll", "--poll-sec", "1"))
            try:
                m.wait_for(r"^\[work\] height=")
                first = time.time()
                m.wait_for(r"^\[work\] periodic GBT refresh$", timeout=10)
                self.assertGreater(time.time() - first, 0.5)
                m.wait_for(r"^\[work\] height=")
                node.call("setfault", {"mode": "http500", "count": 1, "methods": ["getblocktemplate"]})
                m.wait_for(r"^\[work\] periodic GBT refresh$", timeout=10)
                failed_at = time.time()
                m.wait_for(r"^\[work\] periodic GBT refresh$", timeout=10)
                self.assertGreater(time.time() - failed_at, 0.7)  # not retried at once
                status, _, err = m.stop(signal.SIGINT)
            finally:
                m.kill()
            self.assertEqual(status, 0)
            self.assertIn("[rpc] periodic getblocktemplate failed: RPC HTTP 500 calling getblocktemplate: "
                          '{"result": null, "id": ', err)
            requests = [l for l in err.splitlines() if l.startswith("[rpc] periodic")]
            self.assertEqual(len(requests), 1, err)

    def test_empty_longpollid_falls_back_to_refresh(self):
        with SimNode("--bits", IMPOSSIBLE_BITS, "--no-longpollid") as node:
            m = Miner(miner(node.url, "--poll-sec", "1"))
            try:
                self.assertTrue(m.wait_for(r"^\[work\] height=").endswith(" longpoll=no"))
                m.wait_for(r"^\[work\] periodic GBT refresh$", timeout=10)
                m.stop(signal.SIGINT)
            finally:
                m.kill()

    def test_tiny_noncerange_advances_extranonce(self):
        with SimNode("--bits", IMPOSSIBLE_BITS, "--noncerange", "0000000000000fff", "--log",
                     os.path.join(tempfile.mkdtemp(), "log")) as node:
            m = Miner(miner(node.url, "--status-sec", "1", "--extranonce", "41"))
            try:
                m.wait_for(r"^\[work\] height=1 .* nonces=0\.\.4095 ")
                line = m.wait_for(r"^\[stat\] ", timeout=10)
                later = m.wait_for(r"^\[stat\] ", timeout=10)
                m.stop(signal.SIGINT)
            finally:
                m.kill()
            a = int(re.search(r"extranonce=(\d+)", line).group(1))
            b = int(re.search(r"extranonce=(\d+)", later).group(1))
            self.assertGreaterEqual(a, 41)
            self.assertGreater(b, a)
            self.assertFalse(node.call("getstatus")["verdicts"])


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class StartupFailures(unittest.TestCase):
    def assert_fatal(self, r, message, status=1):
        self.assertEqual(r.status, status, r)
        self.assertEqual(r.err, [message, "try --help"] if status == 1 else [message], r)

    def test_unreachable_node(self):
        r = Run(miner("http://127.0.0.1:%d/" % closed_port()))
        self.assert_fatal(r, "error: RPC curl failure calling getblocktemplate: Couldn't connect to server")

    def test_unauthorized(self):
        with SimNode("--rpc-user", "u", "--rpc-pass", "p") as node:
            self.assert_fatal(Run(miner(node.url, "--rpc-user", "u", "--rpc-pass", "wrong")),
                              "error: RPC HTTP 401 calling getblocktemplate: ")

    def test_bad_cookie_file(self):
        path = os.path.join(tempfile.mkdtemp(), "cookie")
        with open(path, "w") as f:
            f.write("no colon here\n")
        self.assert_fatal(Run(miner("http://127.0.0.1:1/", "--rpc-cookie", path)),
                          "error: RPC cookie file does not contain user:password: " + path)

    def test_json_rpc_error(self):
        with SimNode() as node:
            node.call("setfault", {"mode": "rpcerror", "methods": ["getblocktemplate"]})
            self.assert_fatal(Run(miner(node.url)), 'error: JSON-RPC error calling getblocktemplate: '
                                                    '{"code":-10,"message":"injected error"}')

    def test_candidate_build_failure(self):
        with SimNode("--coinbasevalue", "1000") as node:
            r = Run([MINER, "--cpu", "--rpc-url", node.url, "--payout", PAYOUT + ":1001"])
            self.assert_fatal(r, "[work] candidate build failed: absolute payout sum exceeds coinbasevalue from "
                                 "template", status=2)
            self.assertNotIn("[exit] stopped", r.out)

    def test_bad_options(self):
        self.assert_fatal(Run([MINER, "--gpu", "x", "--help"]), "error: invalid integer for --gpu: x")
        self.assert_fatal(Run([MINER, "--bogus"]), "error: unknown option: --bogus")


class OtherModes(unittest.TestCase):
    def test_help(self):
        r = Run([MINER, "--help", "--bogus"])
        self.assertEqual(r.status, 0)
        self.assertEqual(r.out[0], "Vorlakken / VKN CUDA SHA3-256t solo miner")
        self.assertIn("  %s --payout <scriptPubKeyHex> [options]" % MINER, r.out)

    def test_selftest_cpu(self):
        r = Run([MINER, "--selftest", "--cpu"])
        self.assertEqual((r.status, r.out, r.err), (0, ["selftest ok"], []))

    def test_gpu_unavailable_is_a_fatal_error(self):
        # No GPU on this machine: with CUDA compiled in, device selection
        # fails; without it, the program says so.
        if os.environ.get("VKN_HAVE_CUDA") == "ON":
            expected = "error: cudaSetDevice: "
        else:
            expected = "error: CUDA support is not compiled in; use --cpu"
        for args in (["--selftest"], ["--payout", PAYOUT, "--rpc-url", "http://127.0.0.1:1/"]):
            r = Run([MINER, *args])
            self.assertEqual(r.status, 1, r)
            self.assertTrue(r.err[0].startswith(expected), r)
            self.assertEqual(r.err[1:], ["try --help"])
            self.assertEqual(r.out, [])

    def test_benchmark_cpu(self):
        r = Run([MINER, "--benchmark", "2", "--cpu", "--cpu-threads", "1", "--status-sec", "1"])
        self.assertEqual(r.status, 0, r)
        self.assertEqual(r.out[0], "[cpu] threads=1 nonces/batch=262144")
        self.assertTrue(any(l.startswith("[stat] height=0 extranonce=0 nonce=") for l in r.out), r)
        self.assertRegex(r.out[-1], r"^\[bench\] hashes=\d+ seconds=2\.\d\d rate=\d+\.\d\d [kM]?H/s$")


if __name__ == "__main__":
    unittest.main()
