"""The real vkn-miner binary (--cpu) against the simulated node, end to end:
one node per group, reconfigured per case. VKN_MINER names the binary.
Time limits are generous; where time matters, only order and lower bounds
are checked."""
import os
import re
import signal
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
DEFAULTS = {"txs": 5, "segwit_share": 0.5, "bits": "207fffff", "target": True, "rules": "segwit",
            "default_commitment": True, "coinbaseaux": None, "noncerange": "00000000ffffffff",
            "coinbasevalue": None, "no_longpollid": False}


class Run:
    """A finished miner run: status and the two streams as line lists."""

    def __init__(self, cmd, timeout=120):
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
        self.status, self.out, self.err = p.returncode, p.stdout.splitlines(), p.stderr.splitlines()

    def __repr__(self):
        return "status=%s\nstdout:\n%s\nstderr:\n%s" % (self.status, "\n".join(self.out), "\n".join(self.err))


class Miner:
    """A miner left running, its stdout read line by line (line-buffered)."""

    def __init__(self, cmd):
        self.proc = subprocess.Popen(["stdbuf", "-oL"] + cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True)
        self.lines = []

    def wait_for(self, pattern, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            line = self.proc.stdout.readline()
            if not line:
                break
            self.lines.append(line.rstrip("\n"))
            if re.search(pattern, line):
                return line.rstrip("\n")
        raise AssertionError("no line matching %r in:\n%s" % (pattern, "\n".join(self.lines)))

    def stop(self, sig=signal.SIGINT):
        self.proc.send_signal(sig)
        out, err = self.proc.communicate(timeout=30)
        self.lines += out.splitlines()
        return self.proc.returncode, err

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()


class NodeGroup(unittest.TestCase):
    """One node for the whole group, with both a cookie and a user."""

    @classmethod
    def setUpClass(cls):
        cls.cookie = os.path.join(tempfile.mkdtemp(), ".cookie")
        cls.node = SimNode("--cookie", cls.cookie, "--rpc-user", "alice", "--rpc-pass", "s3cret", user="alice",
                           password="s3cret")

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def setUp(self):
        self.node.call("setfault", {"mode": "off"})
        self.node.call("configure", DEFAULTS)

    def miner(self, *extra, url=None, auth=None):
        auth = ["--rpc-cookie", self.cookie] if auth is None else auth
        return [MINER, "--cpu", "--cpu-threads", "1", "--iters", "4", "--rpc-url", url or self.node.url, *auth,
                "--payout", PAYOUT, *extra]

    def fault(self, spec):
        self.node.call("setfault", {"mode": "off"})
        if spec:
            self.node.call("setfault", spec)

    def last_verdict(self):
        return self.node.call("getstatus")["verdicts"][-1]


class StartupAndMineOne(NodeGroup):
    def test_startup_lines_and_accepted_block(self):
        self.node.call("configure", {"txs": 4})
        tpl = self.node.call("getblocktemplate", {})
        r = Run(self.miner("--mine-one"))
        self.assertEqual(r.status, 0, r)
        self.assertEqual(r.out[:3], [
            "[cpu] threads=1 nonces/batch=2048",
            "[rpc] url=%s cookie=%s" % (self.node.url, self.cookie),
            "[work] height=%d txs=5 coinbasevalue=%d target=%s nonces=0..4294967295 longpoll=yes"
            % (tpl["height"], tpl["coinbasevalue"], tpl["target"])])
        found = [line for line in r.out if line.startswith("[found]")]
        self.assertEqual(len(found), 1, r)
        m = re.fullmatch(r"\[found\] nonce=(\d+) hash=([0-9a-f]{64}) block_bytes=(\d+) submitting\.\.\.", found[0])
        self.assertTrue(m, found[0])
        self.assertEqual(r.out[-1], "[submit] accepted by node")
        verdict = self.last_verdict()
        self.assertEqual((verdict["verdict"], verdict["hash"], verdict["bytes"]), (None, m.group(2), int(m.group(3))))

    def test_user_line_and_redacted_password(self):
        r = Run(self.miner("--mine-one", url=self.node.url.replace("http://", "http://alice:s3cret@"), auth=[]))
        self.assertEqual(r.status, 0, r)
        self.assertEqual(r.out[1], "[rpc] url=" + self.node.url.replace("http://", "http://alice:***@"))
        self.assertNotIn("s3cret", "\n".join(r.out + r.err))
        r = Run(self.miner("--mine-one", auth=["--rpc-user", "alice", "--rpc-pass", "s3cret"]))
        self.assertEqual(r.out[1], "[rpc] url=%s user=alice" % self.node.url)
        self.assertEqual(r.out[-1], "[submit] accepted by node", r)

    def test_submission_outcomes(self):
        rows = [  # fault on submitblock, last stdout line, stderr lines (prefixes)
            ({"mode": "verdict", "verdict": "inconclusive"}, '[submit] node returned: "inconclusive"', []),
            ({"mode": "close", "count": 1}, "[submit] accepted by node",
             ["[submit] submitblock failed: RPC curl failure calling submitblock: "]),
            ({"mode": "rpcerror"}, None,
             ['[submit] submitblock failed: JSON-RPC error calling submitblock: {"code":-10,"message":"injected error"}']),
            ({"mode": "close", "count": 3}, None,
             ["[submit] submitblock failed: RPC curl failure calling submitblock: "] * 3 + ["[submit] unsent block hex="]),
        ]
        for fault, last_out, err in rows:
            with self.subTest(fault=fault):
                self.fault(dict(fault, methods=["submitblock"]))
                start = time.time()
                r = Run(self.miner("--mine-one"))
                self.assertEqual(r.status, 0, r)
                if last_out:
                    self.assertEqual(r.out[-1], last_out, r)
                self.assertEqual(len(r.err), len(err), r)
                for line, prefix in zip(r.err, err):
                    self.assertTrue(line.startswith(prefix), r)
                if r.err and r.err[-1].startswith("[submit] unsent block hex="):
                    self.assertGreaterEqual(time.time() - start, 2.0)  # a second between attempts
                    self.fault(None)
                    # The user can hand the printed block to the node: it is valid.
                    self.assertIsNone(self.node.call("submitblock", r.err[-1].split("=", 1)[1]))


class TemplateVariants(NodeGroup):
    def test_every_variant_is_accepted_by_the_node(self):
        rows = [  # template options, then a text the "[work]" line must hold
            ({"txs": 6, "segwit_share": 1, "default_commitment": False, "rules": "!segwit"}, " txs=7 "),
            ({"txs": 6, "segwit_share": 0.5}, " txs=7 "),
            ({"txs": 0, "rules": "none", "default_commitment": False}, " txs=1 "),
            ({"txs": 5, "segwit_share": 0, "rules": "none", "default_commitment": False}, " txs=6 "),
            ({"coinbaseaux": "0102abcd"}, " txs=6 "),
            ({"target": False, "bits": "2007ffff"}, " target=07ffff" + "0" * 58 + " "),
            ({"bits": "2007ffff"}, " target=07ffff" + "0" * 58 + " "),
            ({"height": 1}, "[work] height=1 "),  # heights up to 16 are small-integer opcodes
            ({"height": 16}, "[work] height=16 "),
            ({"height": 17}, "[work] height=17 "),
        ]
        for options, work in rows:
            with self.subTest(options=options):
                self.node.call("configure", dict(DEFAULTS, **options))
                r = Run(self.miner("--mine-one"))
                self.assertEqual((r.status, r.out[-1]), (0, "[submit] accepted by node"), r)
                self.assertIn(work, r.out[2])
                self.assertIsNone(self.last_verdict()["verdict"])


class RunningMiner(NodeGroup):
    def stop_cleanly(self, m, sig):
        status, err = m.stop(sig)
        self.assertEqual(status, 0, err)
        self.assertEqual(m.lines[-1], "[exit] stopped")
        return err

    def test_several_blocks_then_sigint(self):
        height = self.node.call("getstatus")["height"]
        with Miner(self.miner("--status-sec", "1")) as m:
            for h in range(height + 1, height + 5):  # block after block, each followed by fresh work
                m.wait_for(r"^\[work\] height=%d " % h)
            self.stop_cleanly(m, signal.SIGINT)
        verdicts = self.node.call("getstatus")["verdicts"][-3:]
        self.assertTrue(all(v["verdict"] is None for v in verdicts), verdicts)

    def test_longpoll_updates_then_sigterm(self):
        self.node.call("configure", {"bits": IMPOSSIBLE_BITS})
        height = self.node.call("getstatus")["height"]
        with Miner(self.miner()) as m:
            m.wait_for(r"^\[work\] height=%d .* longpoll=yes$" % (height + 1))
            self.node.call("addtxs", 2)  # a template change the miner did not cause
            m.wait_for(r"^\[work\] longpoll update received$")
            self.assertIn(" txs=8 ", m.wait_for(r"^\[work\] height="))
            self.node.call("generate")  # a block found elsewhere
            m.wait_for(r"^\[work\] longpoll update received$")
            m.wait_for(r"^\[work\] height=%d " % (height + 2))
            self.assertNotIn("[longpoll]", self.stop_cleanly(m, signal.SIGTERM))

    def test_periodic_refresh_and_failed_refresh(self):
        rows = [  # long polling off, or no long-poll id in the template
            (["--no-longpoll", "--poll-sec", "1"], {}, " longpoll=yes"),
            (["--poll-sec", "1"], {"no_longpollid": True}, " longpoll=no"),
        ]
        for args, options, work in rows:
            self.node.call("configure", dict(options, bits=IMPOSSIBLE_BITS))
            with Miner(self.miner(*args)) as m:
                self.assertTrue(m.wait_for(r"^\[work\] height=").endswith(work))
                first = time.time()
                m.wait_for(r"^\[work\] periodic GBT refresh$")
                self.assertGreater(time.time() - first, 0.5)
                m.wait_for(r"^\[work\] height=")
                self.node.call("setfault", {"mode": "http500", "count": 1, "methods": ["getblocktemplate"]})
                m.wait_for(r"^\[work\] periodic GBT refresh$")
                failed_at = time.time()
                m.wait_for(r"^\[work\] periodic GBT refresh$")
                self.assertGreater(time.time() - failed_at, 0.7)  # not retried at once
                err = self.stop_cleanly(m, signal.SIGINT)
            failures = [line for line in err.splitlines() if line.startswith("[rpc] periodic")]
            self.assertEqual(len(failures), 1, err)
            self.assertTrue(failures[0].startswith("[rpc] periodic getblocktemplate failed: RPC HTTP 500 calling "
                                                  'getblocktemplate: {"result": null, "id": '), err)

    def test_nonce_sweep_then_extranonce(self):
        # A full nonce range is swept batch after batch under one extranonce;
        # a used-up range moves to the next extranonce.
        for noncerange, same_extranonce in (("00000000ffffffff", True), ("0000000000000fff", False)):
            self.node.call("configure", {"bits": IMPOSSIBLE_BITS, "noncerange": noncerange})
            with Miner(self.miner("--status-sec", "1", "--extranonce", "41")) as m:
                stats = [re.search(r"extranonce=(\d+) nonce=(\d+)", m.wait_for(r"^\[stat\] ")) for _ in range(2)]
                m.stop()
            (e1, n1), (e2, n2) = [(int(s.group(1)), int(s.group(2))) for s in stats]
            if same_extranonce:
                self.assertEqual((e1, e2), (41, 41))
                self.assertGreater(n2, n1)
            else:
                self.assertGreater(e2, e1)
                self.assertGreaterEqual(e1, 41)


class StartupFailures(NodeGroup):
    def test_fatal_errors(self):
        bad_cookie = os.path.join(tempfile.mkdtemp(), "cookie")
        with open(bad_cookie, "w") as f:
            f.write("no colon here\n")
        rows = [  # fault on getblocktemplate, miner arguments, status, first stderr line
            (None, self.miner(url="http://127.0.0.1:1/"), 1,
             "error: RPC curl failure calling getblocktemplate: Couldn't connect to server"),
            (None, self.miner(auth=["--rpc-user", "alice", "--rpc-pass", "wrong"]), 1,
             "error: RPC HTTP 401 calling getblocktemplate: "),
            (None, self.miner(auth=["--rpc-cookie", bad_cookie]), 1,
             "error: RPC cookie file does not contain user:password: " + bad_cookie),
            ("rpcerror", self.miner(), 1,
             'error: JSON-RPC error calling getblocktemplate: {"code":-10,"message":"injected error"}'),
            ("badjson", self.miner(), 1, "error: invalid JSON-RPC response: "),
            (None, self.miner("--payout", PAYOUT + ":5000000001"), 2,
             "[work] candidate build failed: absolute payout sum exceeds coinbasevalue from template"),
        ]
        self.node.call("configure", {"txs": 0, "coinbasevalue": 5000000000})
        for fault, cmd, status, message in rows:
            with self.subTest(cmd=cmd, fault=fault):
                self.fault(fault and {"mode": fault, "methods": ["getblocktemplate"]})
                r = Run(cmd)
                self.assertEqual(r.status, status, r)
                self.assertTrue(r.err[0].startswith(message), r)
                self.assertEqual(r.err[1:], ["try --help"] if status == 1 else [], r)
                self.assertNotIn("[exit] stopped", r.out)


class OtherModes(unittest.TestCase):
    def test_help_selftest_and_bad_options(self):
        rows = [  # arguments, status, stdout, stderr (a line may be a prefix ending in "...")
            (["--help", "--bogus"], 0, ["Vorlakken / VKN CUDA SHA3-256t solo miner", "", "Usage:",
                                        "  %s --payout <scriptPubKeyHex> [options]" % MINER, "", "RPC options:",
                                        "  --rpc-url URL              JSON-RPC URL, default http://127.0.0.1:8332/..."],
             []),
            (["--selftest", "--cpu"], 0, ["selftest ok"], []),
            (["--gpu", "x", "--help"], 1, [], ["error: invalid integer for --gpu: x", "try --help"]),
            (["--bogus"], 1, [], ["error: unknown option: --bogus", "try --help"]),
        ]
        # A device that no machine has: a clear fatal error whether or not a
        # GPU is present, and a plain one where CUDA is not compiled in.
        no_device = "error: cudaSetDevice: ..." if os.environ.get("VKN_HAVE_CUDA") == "ON" else \
            "error: CUDA support is not compiled in; use --cpu"
        for args in (["--selftest"], ["--payout", PAYOUT, "--rpc-url", "http://127.0.0.1:1/"]):
            rows.append((["--gpu", "999"] + args, 1, [], [no_device, "try --help"]))
        for args, status, out, err in rows:
            with self.subTest(args=args):
                r = Run([MINER, *args])
                self.assertEqual(r.status, status, r)
                for got, want in ((r.out[:len(out)], out), (r.err, err)):
                    self.assertEqual(len(got), len(want), r)
                    for line, expected in zip(got, want):
                        self.assertTrue(line.startswith(expected[:-3]) if expected.endswith("...") else line == expected, r)

    def test_benchmark_cpu(self):
        r = Run([MINER, "--benchmark", "2", "--cpu", "--cpu-threads", "1", "--status-sec", "1"])
        self.assertEqual(r.status, 0, r)
        self.assertEqual(r.out[0], "[cpu] threads=1 nonces/batch=262144")
        self.assertTrue(any(line.startswith("[stat] height=0 extranonce=0 nonce=") for line in r.out), r)
        m = re.fullmatch(r"\[bench\] hashes=\d+ seconds=(\d+\.\d\d) rate=\d+\.\d\d [kM]?H/s", r.out[-1])
        self.assertTrue(m, r)
        self.assertGreaterEqual(float(m.group(1)), 2.0)


if __name__ == "__main__":
    unittest.main()
