"""The real vkn-miner binary (--cpu) against the simulated node, end to end:
one node per group, reconfigured per case. VKN_MINER names the binary.
Where time matters only order and lower bounds are checked."""
import hashlib
import json
import math
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nodeclient import SimNode, SimPool  # noqa: E402

MINER = os.environ.get("VKN_MINER", "build/src/vkn-miner")
PAYOUT = "76a91400112233445566778899aabbccddeeff0011223388ac"
IMPOSSIBLE = {"bits": "03000001"}  # a target of 1: nothing meets it
HARD = {"bits": "20000010"}  # a block every 2^20 hashes: a few a second on one CPU thread
DEFAULTS = {"txs": 5, "segwit_share": 0.5, "bits": "207fffff", "target": True, "rules": "segwit",
            "default_commitment": True, "coinbaseaux": None, "noncerange": "00000000ffffffff", "no_longpollid": False,
            "workid": False}
ACCEPTED = r"\[submit\] accepted by node$"


class Miner:
    """A miner left running, its stdout (a pipe, so not a terminal) read line by line as it is printed;
    stderr is drained all along, as a service manager does, so that a full pipe never holds the miner up."""

    def __init__(self, cmd):
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines, self.pending, self.err = [], "", []
        self.drain = threading.Thread(target=lambda: self.err.extend(self.proc.stderr), daemon=True)
        self.drain.start()

    def wait_for(self, pattern, timeout=30):
        """The next line matching pattern; it must arrive within the timeout."""
        deadline = time.time() + timeout
        while True:
            while "\n" in self.pending:
                line, self.pending = self.pending.split("\n", 1)
                self.lines.append(line)
                if re.search(pattern, line):
                    return line
            ready = select.select([self.proc.stdout], [], [], max(0, deadline - time.time()))[0]
            chunk = os.read(self.proc.stdout.fileno(), 1 << 16).decode() if ready else ""  # "" at the end, too
            assert chunk, "no line matching %r in:\n%s" % (pattern, "\n".join(self.lines))
            self.pending += chunk

    def stop(self, sig=signal.SIGINT):
        """Status 0 and "[exit] stopped" after the signal; returns stderr's lines."""
        self.proc.send_signal(sig)
        out = self.pending + self.proc.stdout.read()
        self.proc.wait(30)
        self.drain.join(30)
        err = [line.rstrip("\n") for line in self.err]
        assert (self.proc.returncode, out.splitlines()[-1:]) == (0, ["[exit] stopped"]), (out, err)
        return err


class NodeGroup(unittest.TestCase):
    """One node for the whole group that takes a cookie and a user alike."""

    @classmethod
    def setUpClass(cls):
        cls.cookie = os.path.join(tempfile.mkdtemp(), ".cookie")
        cls.node = SimNode("--cookie", cls.cookie, "--rpc-user", "alice", "--rpc-pass", "pw", user="alice",
                           password="pw")
        cls.addClassCleanup(cls.node.stop)

    def setUp(self):
        self.configure()

    def configure(self, fault=None, **options):
        self.node.call("setfault", {"mode": "off"})
        if fault:
            self.node.call("setfault", fault)
        self.node.call("configure", dict(DEFAULTS, **options))

    def miner(self, *extra, url=None, auth=None, journal=None):
        auth = ["--rpc-cookie", self.cookie] if auth is None else auth
        journal = journal or os.path.join(tempfile.mkdtemp(), "found.jsonl")  # each run its own unless shared
        return [MINER, "--cpu", "--cpu-threads", "1", "--iters", "4", "--rpc-url", url or self.node.url, *auth,
                "--payout", PAYOUT, "--found-log", journal, *extra]

    def start(self, *extra, journal=None):
        m = Miner(self.miner(*extra, journal=journal))
        self.addCleanup(lambda: m.proc.poll() is None and (m.proc.kill(), m.proc.wait()))
        return m

    def verdicts(self):
        return self.node.call("getstatus")["verdicts"]

    def check(self, cmd, status=0, out=(), err=(), last=ACCEPTED):
        """Runs cmd to its end: the status, stdout's first lines and last line
        and stderr's lines must match, each line as a regular expression."""
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
        got = p.returncode, p.stdout.splitlines(), p.stderr.splitlines()
        ok = [got[0] == status, len(got[2]) == len(err), len(got[1]) >= len(out),
              not last or re.match(last, (got[1] or [""])[-1])]
        ok += [re.match(b, a) for a, b in list(zip(got[1], out)) + list(zip(got[2], err))]
        self.assertTrue(all(ok), (cmd, *got))
        return got


class MineOne(NodeGroup):
    def test_startup_lines_and_accepted_block(self):
        self.configure(txs=4)
        tpl = self.node.call("getblocktemplate", {})
        _, out, _ = self.check(self.miner("--mine-one"), out=[
            re.escape("[cpu] threads=1 nonces/batch=2048"),
            re.escape("[rpc] url=%s cookie=%s" % (self.node.url, self.cookie)),
            re.escape("[work] height=%d txs=5 coinbasevalue=%d target=%s nonces=0..4294967295 longpoll=yes"
                      % (tpl["height"], tpl["coinbasevalue"], tpl["target"])) + "$"])
        m = re.fullmatch(r"\[found\] nonce=\d+ hash=([0-9a-f]{64}) block_bytes=(\d+) submitting\.\.\.", out[3])
        verdict = self.verdicts()[-1]  # the node's own SHA3-256t of the header
        self.assertEqual((len(out), verdict["verdict"], verdict["hash"], verdict["bytes"]), (5, None, m[1], int(m[2])))

    def test_templates_credentials_and_submission_outcomes(self):
        failed, url, work = r"\[submit\] submitblock failed: ", self.node.url, r"\[work\] height=\d+ "
        unsent = [r"\[submit\] unsent block hex=[0-9a-f]+$", r"\[submit\] the node gave no verdict; retrying"]
        mine, nothing = self.miner("--mine-one"), r"\[found\]"

        def row(options, cmd=mine, lines=(), last=ACCEPTED, err=()):
            return options, cmd, list(lines), last, list(err)
        config = os.path.join(tempfile.mkdtemp(), "config.json")
        with open(config, "w") as f:  # the whole run from a file
            json.dump({"rpc-url": url, "rpc-cookie": self.cookie, "payout": [PAYOUT], "cpu": True, "cpu-threads": 1,
                       "iters": 4, "mine-one": True, "found-log": config + ".jsonl"}, f)
        rows = [  # template options or submitblock fault, miner command, stdout from line 2, last line, stderr
            row({"txs": 6, "segwit_share": 1, "default_commitment": False, "rules": "!segwit"},
                lines=[".", work + "txs=7 "]),
            row({"txs": 0, "rules": "none", "default_commitment": False}, lines=[".", work + "txs=1 "]),
            row({"segwit_share": 0, "rules": "none", "default_commitment": False}),
            row({"coinbaseaux": "0102abcd"}),
            row({"target": False, "bits": "2007ffff"}, lines=[".", work + ".* target=07ffff0{58} "]),
            row({"height": 1}, lines=[".", r"\[work\] height=1 "]),  # up to 16: small-integer opcodes
            row({"height": 17}, lines=[".", r"\[work\] height=17 "]),
            row({"workid": True}),  # the template's workid comes back with the block
            row({}, self.miner("--mine-one", url=url.replace("//", "//alice:pw@"), auth=[]),
                [re.escape("[rpc] url=" + url.replace("//", "//alice:***@")) + "$"]),
            row({}, ["env", "http_proxy=http://127.0.0.1:1/", *mine]),  # the node is reached directly
            row({}, [MINER, "--config", config]),
            row({}, self.miner("--mine-one", journal="/dev/null/found.jsonl"),  # warned once; mining goes on
                err=[re.escape(r"[journal] cannot write /dev/null/found.jsonl (")]),
            row({}, self.miner("--mine-one", auth=["--rpc-user", "alice", "--rpc-pass", "pw"]),
                [re.escape("[rpc] url=%s user=alice" % url) + "$"]),
            row({"mode": "verdict", "verdict": "inconclusive"}, last=r'\[submit\] node returned: "inconclusive"$'),
            row({"mode": "close", "count": 1}, err=[failed + "RPC curl failure calling submitblock"]),
            row({"mode": "rpcerror"}, last=nothing, err=[failed + 'JSON-RPC error calling submitblock: {"code":-10,']),
            # No verdict yet: tried again until the node answers.
            row({"mode": "http500", "count": 2}, err=[failed + "RPC HTTP 500 calling submitblock"] * 2),
            row({"mode": "drop", "count": 1}, err=[failed + "RPC curl"],  # taken, but the reply was lost
                lines=[".", ".", ".", r'\[submit\] node returned: "duplicate"$'], last=r"\[submit\] an earlier"),
            row({"mode": "close", "count": 4}, err=[failed + "RPC curl"] * 3 + unsent + [failed + "RPC curl"]),
        ]
        for options, cmd, lines, last, err in rows:
            self.configure(dict(options, methods=["submitblock"])) if "mode" in options else self.configure(**options)
            start = time.time()
            _, out, err = self.check(cmd, out=["."] + lines, err=err, last=last)
            self.assertNotIn(":pw@", "\n".join(out + err))
            if last == ACCEPTED:
                verdict = self.verdicts()[-1]
                self.assertIsNone(verdict["verdict"], options)
                self.assertEqual(verdict["workid"] is not None, bool(options.get("workid")), options)
        self.assertGreaterEqual(time.time() - start, 7.5)  # a second between the first attempts, then 2 s and 4 s
        random_runs = [self.check(self.miner("--mine-one", "--extranonce", "random"))[1] for _ in range(2)]
        starts = [re.fullmatch(r"\[work\] extranonce start=(\d+) \(random\)", out[2])[1] for out in random_runs]
        coinbases = [int.from_bytes(bytes.fromhex(v["coinbase"])[-18:-10], "little") for v in self.verdicts()[-2:]]
        self.assertTrue(starts[0] != starts[1] and coinbases == [int(x) for x in starts], (starts, coinbases))


    def test_payout_addresses_and_proposals(self):
        # An address pays, byte for byte, the script the node gives for it, in command-line order among scripts.
        self.configure(txs=0, coinbasevalue=5000000000)
        address = self.node.call("getnewaddress")
        script = self.node.call("validateaddress", address)["scriptPubKey"]
        outputs, lines = [], []
        for payout in (["--payout-address", address + "@3"], ["--payout", script + "@3"]):  # after --payout PAYOUT
            lines.append(self.check(self.miner("--mine-one", *payout))[1])
            outputs.append(self.verdicts()[-1]["outputs"])
        self.assertIn("[payout] %s -> %s (P2WPKH) share=75.00%%" % (address, script), lines[0])
        self.assertEqual((outputs[0], [o[1] for o in outputs[0]][:2]), (outputs[1], [PAYOUT, script]))
        self.assertFalse(any(line.startswith("[payout]") for line in lines[1]), lines[1])
        refused = len(self.verdicts())
        mine, error = self.miner("--mine-one"), r"error: "
        rows = [  # a fault, the miner's extra options, its status, stdout's last line, stderr
            (None, ["--payout-address", "vknrt1qwrong"], 1, None,
             [error + "--payout-address vknrt1qwrong is not a valid address for the node \\(Invalid address\\)$"]),
            ({"mode": "missing", "methods": ["validateaddress"]}, ["--payout-address", address], 1, None,
             [error + "the node has no validateaddress: give the script of %s with --payout instead$" % address]),
            ({"mode": "verdict", "verdict": "bad-cb-amount", "methods": ["proposal"]}, [], 2, r"\[work\] height=",
             [error + "the node refuses blocks built from this template: bad-cb-amount$"]),
            ({"mode": "verdict", "verdict": "inconclusive-not-best-prevblk", "methods": ["proposal"], "count": 1}, [],
             0, ACCEPTED, []),
            ({"mode": "rpcerror", "methods": ["proposal"]}, [], 0, ACCEPTED, []),
            ({"mode": "verdict", "verdict": "bad-cb-amount", "methods": ["proposal"]}, ["--no-proposal"], 0, ACCEPTED, []),
            (None, ["--payout", "51"], 0, ACCEPTED, [r"\[payout\] warning: 51 \(anyone-can-spend\) is not a standard"]),
        ]
        for fault, extra, status, last, err in rows:
            self.configure(fault)
            _, out, _ = self.check(mine + extra, status, err=err + (["try --help"] if status == 1 else []), last=last)
            self.assertFalse(status == 2 and any(line.startswith("[found]") for line in out), out)
            notes = [line for line in out if line.startswith("[proposal]")]
            self.assertEqual(len(notes), int(bool(fault and fault["methods"] == ["proposal"] and status == 0 and not
                                                  extra)), out)
        self.assertEqual(len([v for v in self.verdicts()[refused:] if v["verdict"] is None]), 4)


class RunningMiner(NodeGroup):
    def test_longpoll_updates_then_blocks_then_signal(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            self.configure(**IMPOSSIBLE)
            h = self.node.call("getstatus")["height"]
            m = self.start("--status-sec", "1")
            m.wait_for(r"^\[work\] height=%d .* longpoll=yes$" % (h + 1))
            self.node.call("setfault", {"mode": "result", "count": 1, "methods": ["getblocktemplate"]})  # result: null
            self.node.call("addtxs", 2)  # a template change the miner did not cause
            m.wait_for(r"^\[work\] longpoll update received$")
            self.assertIn(" txs=8 ", m.wait_for(r"^\[work\] height="))
            self.node.call("generate")  # a block found elsewhere
            m.wait_for(r"^\[work\] longpoll update received$")
            self.configure()  # now easy: block after block, each followed by fresh work
            for height in range(h + 2, h + 5):
                m.wait_for(r"^\[work\] height=%d " % height)
            err = m.stop(sig)  # the next poll's null result is reported, and mining goes on with the old work
            self.assertTrue(len(err) == 1 and err[0].startswith("[longpoll] [json.exception.type_error.304]"), err)
            self.assertEqual([v["verdict"] for v in self.verdicts()[-2:]], [None] * 2)

    def test_a_node_restarted_with_a_new_cookie(self):
        self.configure(**IMPOSSIBLE)
        m = self.start("--no-longpoll", "--poll-sec", "1")
        m.wait_for(r"^\[work\] height=")
        self.node.call("rotatecookie")
        self.configure()  # the next refresh is refused once, then brings work that finds a block
        m.wait_for(ACCEPTED)
        self.assertEqual(m.stop(), ["[rpc] HTTP 401: credentials re-read from cookie file " + self.cookie])

    def test_no_secret_in_the_process_list(self):
        secret = os.path.join(tempfile.mkdtemp(), "pass")
        with open(secret, "w") as f:
            f.write("pw\n")
        os.chmod(secret, 0o600)
        self.configure(**IMPOSSIBLE)
        for auth in (["--rpc-user", "alice", "--rpc-pass-file", secret], ["--rpc-user", "alice", "--rpc-pass", "pw"]):
            m = Miner(self.miner("--api", "127.0.0.1:0", "--api-token", "s3cret", auth=auth,
                                 url=self.node.url.replace("//", "//alice:pw@")))
            self.addCleanup(lambda: m.proc.poll() is None and (m.proc.kill(), m.proc.wait()))
            m.wait_for(r"^\[api\] listening")
            with open("/proc/%d/cmdline" % m.proc.pid, "rb") as f:
                args = f.read().decode().split("\0")
            self.assertFalse("pw" in args or "s3cret" in args or any(":pw@" in a for a in args), args)
            self.assertEqual(m.stop(), [])

    def test_service_manager_notifications(self):
        # Started by a service manager with a watchdog: READY=1 once work is installed, then WATCHDOG=1 at
        # half the interval while the devices make progress, each with a one-line STATUS=.
        path = os.path.join(tempfile.mkdtemp(), "notify")
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        sock.bind(path)
        self.addCleanup(sock.close)
        self.configure(**IMPOSSIBLE)
        env = dict(os.environ, NOTIFY_SOCKET=path, WATCHDOG_USEC="400000")
        proc = subprocess.Popen(self.miner(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        sock.settimeout(10)
        got, start = [sock.recv(4096).decode()], time.time()
        while time.time() - start < 1.5:
            got.append(sock.recv(4096).decode())
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(10), 0)
        self.assertTrue(re.fullmatch(r"READY=1\nSTATUS=height=\d+ rate=.* blocks=0", got[0]), got)
        self.assertTrue(len(got) >= 5 and all(re.fullmatch(r"WATCHDOG=1\nSTATUS=height=.*", x) for x in got[1:]), got)

    def test_stops_are_prompt_and_quiet(self):
        fifo = os.path.join(tempfile.mkdtemp(), "cookie")
        os.mkfifo(fifo)  # no writer: opening it blocks
        self.configure({"mode": "delay", "delay": 60, "methods": ["getblocktemplate"]})
        for args, seen in ((["--rpc-timeout-ms", "0"], r"^\[rpc\] url="), (["--rpc-cookie", fifo], r"^\[cpu\] ")):
            m = self.start(*args)  # a node silent at start-up; a cookie that cannot be read yet
            m.wait_for(seen)
            time.sleep(0.3)
            self.assertEqual(m.stop(), [])
        self.configure(**IMPOSSIBLE)
        m = self.start()
        m.wait_for(r"^\[work\] height=")
        self.node.call("setfault", {"mode": "http500", "methods": ["getblocktemplate"]})
        self.node.call("addtxs", 1)  # a held poll returns; every later one fails at once
        time.sleep(2.5)
        before = self.node.call("getstatus")["requests"]["getblocktemplate"]
        m.stop()
        self.assertLessEqual(self.node.call("getstatus")["requests"]["getblocktemplate"] - before, 2)

    def test_a_found_block_outlives_a_node_outage_and_a_restart(self):
        journal = os.path.join(tempfile.mkdtemp(), "found.jsonl")
        with open(journal, "w") as f:  # a block on an old tip, and a line torn by a crash
            f.write('{"hash": "11", "prevhash": "22", "height": 1, "block": "00", "status": "pending"}\n{"hash": "3')
        down, hash_of = {"mode": "close", "methods": ["submitblock"]}, lambda line: re.search("hash=(\\w+)", line)[1]
        self.configure(down, **HARD)
        m = self.start("--status-sec", "1", journal=journal)
        self.assertIn("hash=11 is not on the current tip: abandoned", m.wait_for(r"^\[journal\] "))
        found, first = time.time(), hash_of(m.wait_for(r"^\[found\] "))
        m.wait_for(r"^\[stat\] ")
        m.wait_for(r"^\[stat\] ")  # mining goes on while the node is away
        time.sleep(max(0, 15 - (time.time() - found)))
        self.node.call("setfault", {"mode": "off"})
        m.wait_for(ACCEPTED)
        m.wait_for(r" abandoned: a block on its parent was accepted$")  # the blocks found beside it
        self.configure(**IMPOSSIBLE)  # the chain holds still: no block of this tip is pending when the node goes
        # Installed by the long poll or by a refresh after an abandonment, whichever asks first.
        m.wait_for(r"^\[work\] height=\d+ .* target=0{63}1 ")
        m.wait_for(r"^\[stat\] ")  # the blocks found beside the accepted one are abandoned by now
        abandoned = {hash_of(x) for x in m.lines if x.endswith(" abandoned: a block on its parent was accepted")}
        self.configure(down, **HARD)  # away again; this time the miner stops before the node is back
        m.wait_for(r"^\[work\] height=\d+ .* target=00001")
        second = hash_of(m.wait_for(r"^\[found\] "))
        m.stop()

        def statuses():  # hash: [(status, whether the line holds the block)] in journal order
            seen = {}
            with open(journal) as f:
                text = f.read()
            self.assertTrue(text.endswith("}\n"))  # whole lines, for any reader of JSON lines
            for line in text.splitlines()[1:]:
                j = json.loads(line) if line.endswith("}") else {"hash": "torn", "status": ""}
                seen.setdefault(j["hash"], []).append((j["status"], "block" in j))
            return seen
        self.assertEqual({statuses()[h][-1][0] for h in abandoned}, {"abandoned"})  # not left for the next run
        self.node.call("setfault", {"mode": "off"})
        height = self.node.call("getstatus")["height"] + 1
        # The next run hands it over, the first pending block on the tip, before it mines.
        m = self.start(journal=journal)
        self.assertEqual(m.wait_for(r"^\[journal\] submitting"),
                         "[journal] submitting pending block hash=%s height=%d" % (second, height))
        m.wait_for(ACCEPTED)
        m.stop()
        final = statuses()
        self.assertEqual([final[h] for h in ("11", first, second)],
                         [[("abandoned", False)]] + [[("pending", True), ("accepted", False)]] * 2, final)
        self.assertNotIn("pending", [s[-1][0] for s in final.values()])
        got = {v.get("hash"): v["verdict"] for v in self.verdicts()}
        self.assertEqual((got[first], got[second]), (None, None))

    def test_blocks_in_quick_succession(self):
        # One miner, or two on one node, finding blocks every moment: heights never go back, no template is
        # printed twice in a row, no block reaches the node twice, and one miner alone never builds on a parent
        # its own block has replaced. The third miner's output is closed at once (as by "| head -n 3"): every
        # block it finds is still journaled and handed to the node.
        for miners, seconds in ((1, 20), (3, 10)):
            self.configure(bits="1e03ffff")
            before = len(self.verdicts())
            journal = os.path.join(tempfile.mkdtemp(), "found.jsonl")
            ms = [self.start("--extranonce", str(k * 10 ** 12), journal=journal if k == 2 else None)
                  for k in range(miners)]
            ms[-1].wait_for(r"^\[work\] height=")
            if miners == 3:
                ms[2].proc.stdout.close()
            time.sleep(seconds)
            for m in ms[:2]:
                m.stop()
                works = [x for x in m.lines if x.startswith("[work] height=")]
                heights = [int(re.match(r"\[work\] height=(\d+)", x)[1]) for x in works]
                self.assertEqual(heights, sorted(heights))
                self.assertFalse([a for a, b in zip(works, works[1:]) if a == b])
            verdicts = self.verdicts()[before:]
            self.assertGreater([v["verdict"] for v in verdicts].count(None), 5)
            self.assertNotIn("duplicate", [v["verdict"] for v in verdicts])
            if miners == 1:
                self.assertEqual({v["verdict"] for v in verdicts}, {None})
        for _ in range(300):  # the closed miner has found a block
            if os.path.exists(journal) and os.path.getsize(journal):
                break
            time.sleep(0.1)
        ms[2].proc.send_signal(signal.SIGINT)
        self.assertEqual(ms[2].proc.wait(30), 0)
        with open(journal) as f:
            last = {x["hash"]: x["status"] for x in map(json.loads, f)}
        accepted = {v["hash"] for v in self.verdicts() if v["verdict"] is None}
        self.assertTrue(last and "pending" not in last.values(), last)
        self.assertEqual({h for h, status in last.items() if status == "accepted"}, set(last) & accepted)

    def test_a_rig_of_cpu_devices(self):
        # Three devices in one process, each in its own extranonce lane (a few thousand nonces each), all
        # moved on by the node's long poll.
        self.configure(noncerange="0000000000000fff", **HARD)
        m, finder = self.start("--cpu-devices", "3", "--extranonce", "100", "--status-sec", "1"), {}
        while len(set(finder.values())) < 2:
            found = re.match(r"\[found\] device=(\d) nonce=\d+ hash=(\w+) ", m.wait_for(r"^\[found\] "))
            if m.wait_for(r"^\[submit\] ") == "[submit] accepted by node":
                finder[found[2]] = int(found[1])
        self.configure(**IMPOSSIBLE)
        height = self.node.call("generate") + 1
        for device in range(3):
            m.wait_for(r"^\[stat\] device=%d height=%d extranonce=\d+ .* 10s=.* 60s=.* 15m=" % (device, height))
        m.wait_for(r"^\[stat\] devices=3 total=\d+ avg=.* 10s=.* 60s=.* 15m=")
        m.stop()
        for v in self.verdicts():
            if v.get("hash") in finder:  # the extranonce: the 8 bytes before the tag's push
                extranonce = int.from_bytes(bytes.fromhex(v["coinbase"])[-18:-10], "little")
                self.assertEqual((extranonce - 100) % 3, finder[v["hash"]], v)

    def test_status_api(self):
        self.configure(**HARD)
        m = self.start("--cpu-devices", "2", "--status-sec", "1", "--api", "127.0.0.1:0", "--api-token", "s3cret")
        base = re.search(r"http://[\d.]+:\d+/", m.wait_for(r"^\[api\] listening on ")).group(0)

        def get(path, token="s3cret", method="GET"):
            headers = {"Authorization": "Bearer " + token} if token else {}
            try:
                with urllib.request.urlopen(urllib.request.Request(base + path, None, headers, method=method)) as r:
                    return r.status, r.read().decode()
            except urllib.error.HTTPError as e:
                return e.code, e.read().decode()

        def metrics():
            return {(s.name, tuple(sorted(s.labels.items()))): s.value
                    for f in text_string_to_metric_families(get("metrics")[1]) for s in f.samples}
        self.assertEqual([get(*args) for args in (("metrics", None), ("metrics", "s3cre"), ("nope",),
                                                  ("metrics", "s3cret", "POST"))], [(401, ""), (401, ""), (404, ""),
                                                                                     (405, "")])
        for _ in range(3):
            m.wait_for(ACCEPTED)
        first = metrics()
        text = get("metrics")[1]
        families = list(text_string_to_metric_families(text))  # each with its HELP and TYPE
        self.assertTrue(all(f.type in ("counter", "gauge") and f.documentation for f in families), families)
        lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
        self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, ""))
        # Every series the dashboard and the alerts use exists (a GPU's own only where there are GPUs).
        contrib = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "contrib")
        used = set()
        for path in ("grafana/vkn-miner.json", "prometheus/vkn-miner.rules.yml"):
            with open(os.path.join(contrib, path)) as f:
                used |= set(re.findall(r"\bvkn_[a-z_]+", f.read()))
        exported = {s.name for f in families for s in f.samples}
        self.assertEqual({n for n in used if not n.startswith("vkn_gpu_")} - exported, set())
        self.configure(**IMPOSSIBLE)  # no more blocks; every device takes the next height's work
        height = self.node.call("generate") + 1
        for device in (0, 1):
            m.wait_for(r"^\[stat\] device=%d height=%d " % (device, height))
        summary, then = json.loads(get("api/v1/summary")[1]), metrics()
        found = [re.search(r"hash=(\w+)", line)[1] for line in m.lines if line.startswith("[found] ")]
        node_took = [v["hash"] for v in self.verdicts() if v.get("hash") in found and v["verdict"] is None]
        stats = {int(d): int(t) for d, t in re.findall(r"^\[stat\] device=(\d) .* total=(\d+)", "\n".join(m.lines),
                                                        re.M)}
        self.assertEqual((summary["blocks"]["found"], summary["blocks"]["accepted"], summary["work"]["height"]),
                         (len(found), m.lines.count("[submit] accepted by node"), height))
        self.assertEqual(summary["blocks"]["accepted"], len(node_took))
        self.assertTrue(all(d["total_hashes"] >= stats[d["index"]] for d in summary["devices"]), (summary, stats))
        self.assertEqual(sum(d["total_hashes"] for d in summary["devices"]), summary["total_hashes"])
        self.assertTrue(all(math.isclose(summary["hashrate"][w], sum(d["hashrate"][w] for d in summary["devices"]))
                            for w in ("10s", "60s", "15m")), summary)
        self.assertTrue(all(d["hashrate"][w] > 0 for d in summary["devices"] for w in ("10s", "60s", "15m")), summary)
        self.assertEqual(then[("vkn_blocks_found_total", ())], len(found))
        counters = [k for k in first if k[0].endswith("_total")]
        self.assertTrue(all(then[k] >= first[k] for k in counters) and then[("vkn_hashes_total", (("device", "0"),))]
                        > first[("vkn_hashes_total", (("device", "0"),))], (first, then))
        self.configure({"mode": "close", "methods": ["getblocktemplate", "submitblock"]})  # the node goes away
        self.node.call("addtxs", 1)  # the held poll returns; the next one fails
        deadline = time.time() + 30
        while metrics()[("vkn_node_up", ())] != 0 and time.time() < deadline:
            time.sleep(0.2)
        node = json.loads(get("api/v1/summary")[1])["node"]
        self.assertTrue(not node["reachable"] and node["last_error"].startswith("RPC curl failure"), node)
        m.stop()

    def test_verified_shares_logs_and_logrotate(self):
        # 20 s on the CPU with no block to find: every share verifies, and the rate they prove agrees with the
        # counted rate within four standard deviations of the share count; a [health] line follows each [stat].
        # Meanwhile SIGHUP, logrotate's signal, has the log file opened again and never ends the run.
        log = os.path.join(tempfile.mkdtemp(), "miner.log")
        self.configure(**IMPOSSIBLE)
        m = self.start("--cpu-threads", "2", "--iters", "64", "--status-sec", "5", "--api", "127.0.0.1:0",
                       "--log-file", log)
        base = re.search(r"http://[\d.]+:\d+/", m.wait_for(r"^\[api\] listening on ")).group(0)
        os.rename(log, log + ".1")
        m.proc.send_signal(signal.SIGHUP)
        time.sleep(20)
        for _ in range(4):  # the lines printed meanwhile
            m.wait_for(r"^\[health\] ")
        size = os.path.getsize(log + ".1")
        with urllib.request.urlopen(base + "api/v1/summary") as r:
            device = json.load(r)["devices"][0]
        with urllib.request.urlopen(base + "metrics") as r:
            families = {f.name for f in text_string_to_metric_families(r.read().decode())}
        m.stop()
        n, ratio = device["shares"], device["verified_hashrate"]["15m"] / device["hashrate"]["15m"]
        self.assertTrue(n > 0 and device["hardware_errors"] == 0 and abs(ratio - 1) <= 4 / math.sqrt(n), device)
        self.assertTrue({"vkn_shares", "vkn_hardware_errors", "vkn_verified_hashrate_hashes_per_second",
                         "vkn_device_info"} <= families, families)
        stats = [i for i, line in enumerate(m.lines) if line.startswith("[stat] ")]
        health = r"\[health\] device=0 shares=\d+ hw_errors=0 verified=\S+ [kM]?H/s$"
        self.assertTrue(len(stats) >= 3 and all(re.match(health, m.lines[i + 1]) for i in stats if i + 1 < len(m.lines)),
                        m.lines)
        with open(log) as f:
            lines = f.read().splitlines()
        self.assertEqual(os.path.getsize(log + ".1"), size)
        self.assertTrue(lines[-1].endswith(" [exit] stopped") and
                        all(re.match(r"\d{4}-\d\d-\d\dT[\d:.]+[-+]\d\d:\d\d \[", line) for line in lines), lines)
        # Where the journal reads the stream, each line carries its priority.
        with tempfile.TemporaryFile() as err:
            st = os.fstat(err.fileno())
            subprocess.run([MINER, "--status-sec", "x"], stderr=err, timeout=30,
                           env=dict(os.environ, JOURNAL_STREAM="%d:%d" % (st.st_dev, st.st_ino)))
            err.seek(0)
            self.assertEqual(err.read().decode().splitlines(),
                             ["<3>error: invalid integer for --status-sec: x", "<3>try --help"])

    def test_api_under_attack(self):
        # Flooded, slowed and fed a huge request head, with no token, under a descriptor limit of 1024 that it
        # cannot raise: the API answers a fresh client within 2 s, memory stays bounded, and every block found
        # meanwhile is journaled and accepted.
        self.configure(bits="1e03ffff")
        journal = os.path.join(tempfile.mkdtemp(), "found.jsonl")
        m = Miner(["prlimit", "--nofile=1024:1024", *self.miner("--api", "127.0.0.1:0", "--api-token", "t",
                                                                    journal=journal)])
        self.addCleanup(lambda: m.proc.poll() is None and (m.proc.kill(), m.proc.wait()))
        host, port = re.search(r"http://([\d.]+):(\d+)/", m.wait_for(r"^\[api\] listening on ")).groups()
        before = len(self.verdicts())

        def answered():  # a fresh request's status, or None after 2 s
            try:
                req = urllib.request.Request("http://%s:%s/metrics" % (host, port), headers={"Authorization": "Bearer t"})
                with urllib.request.urlopen(req, timeout=2) as r:
                    return r.status
            except OSError:
                return None

        def rss():
            with open("/proc/%d/status" % m.proc.pid) as f:
                return int(re.search(r"VmRSS:\s+(\d+)", f.read())[1])
        flood = []
        for _ in range(1100):
            try:
                flood.append(socket.create_connection((host, int(port))))
            except OSError:
                break
        slow = [socket.create_connection((host, int(port))) for _ in range(50)]
        for s in slow:
            s.send(b"GET /metrics HTTP/1.1\r\n")
        self.assertEqual(answered(), 200)  # during the slow attack
        many = urllib.request.Request("http://%s:%s/metrics" % (host, port), headers={"X-%d" % i: "1" for i in range(70)})
        with self.assertRaises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(many, timeout=2)
        self.assertEqual(refused.exception.code, 431)  # more than 64 headers, before the token is looked at
        grown = rss()
        huge = socket.create_connection((host, int(port)))
        try:
            huge.sendall(b"GET /metrics HTTP/1.1\r\n" + b"X-A: b\r\n" * 1000000 + b"\r\n")
        except OSError:
            pass  # refused before it was all sent
        self.assertLess(rss() - grown, 16 * 1024)
        for s in flood + slow + [huge]:
            s.close()
        self.assertEqual(answered(), 200)
        m.stop()
        with open(journal) as f:
            last = {x["hash"]: x["status"] for x in map(json.loads, f)}
        accepted = {v["hash"] for v in self.verdicts()[before:] if v["verdict"] is None}
        self.assertTrue(accepted and set(last) == accepted and set(last.values()) == {"accepted"}, (last, accepted))

    def test_periodic_refresh_and_failed_refresh(self):
        rows = [  # long polling off, or no long-poll id in the template
            (["--no-longpoll", "--poll-sec", "1"], {}, " longpoll=yes"),
            (["--poll-sec", "1"], {"no_longpollid": True}, " longpoll=no"),
        ]
        for args, options, work in rows:
            self.configure(**options, **IMPOSSIBLE)
            m = self.start(*args)
            self.assertTrue(m.wait_for(r"^\[work\] height=").endswith(work))
            start = time.time()
            m.wait_for(r"^\[work\] periodic GBT refresh$")
            self.assertGreater(time.time() - start, 0.5)
            self.node.call("addtxs", 1)  # a refresh installs (and prints) only a template that changed
            m.wait_for(r"^\[work\] height=")
            self.node.call("setfault", {"mode": "http500", "count": 1, "methods": ["getblocktemplate"]})
            m.wait_for(r"^\[work\] periodic GBT refresh$")
            start = time.time()
            m.wait_for(r"^\[work\] periodic GBT refresh$")
            self.assertGreater(time.time() - start, 0.7)  # not retried at once
            err = m.stop()
            self.assertTrue(len(err) == 1 and err[0].startswith(
                '[rpc] periodic getblocktemplate failed: RPC HTTP 500 calling getblocktemplate: {"result": null'), err)

    def test_nonce_sweep_then_extranonce(self):
        # A nonce range is swept batch after batch under one extranonce; a
        # used-up range moves on to the next extranonce.
        for noncerange, same_extranonce in (("00000000ffffffff", True), ("0000000000000fff", False)):
            self.configure(noncerange=noncerange, **IMPOSSIBLE)
            m = self.start("--status-sec", "1", "--extranonce", "41", "--rpc-timeout-ms", "1000")
            stat = r"^\[stat\] .*extranonce=(\d+) nonce=(\d+)"
            (e1, n1), (e2, n2) = [map(int, re.search(stat, m.wait_for(stat)).groups()) for _ in range(2)]
            self.assertEqual(m.stop(), [])  # the long poll, held past the calls' timeout, is not cut
            one_device = not any(line.startswith("[stat] devices=") for line in m.lines)  # no total line
            self.assertTrue(one_device and ((e1, e2, n2 > n1) == (41, 41, True) if same_extranonce else e2 > e1),
                            m.lines)


class PoolMining(unittest.TestCase):
    """The miner against the simulated pool: every share the pool's own check of it."""

    def start(self, pools, *extra):
        journal = os.path.join(tempfile.mkdtemp(), "found.jsonl")
        m = Miner([MINER, "--cpu", "--cpu-threads", "2", "--status-sec", "1", "--pool-user", "w1",
                   "--found-log", journal, *[a for p in pools for a in ("--pool", p.url)], *extra])
        m.journal = journal
        self.addCleanup(lambda: m.proc.poll() is None and (m.proc.kill(), m.proc.wait()))
        return m

    def pool(self, *args, port=0):
        p = SimPool("--difficulty", "0.0005", *args, port=port)
        self.addCleanup(p.stop)
        return p

    def test_shares_jobs_difficulty_lanes_and_reconnects(self):
        pool = self.pool("--nbits", "1e03e7fc")  # half the first shares are blocks too
        m = self.start([pool], "--cpu-devices", "2", "--api", "127.0.0.1:0")
        before = int(m.wait_for(r"^\[job\] id=1 clean target=").rsplit("=", 1)[1], 16)
        api = re.search(r"http://[\d.]+:\d+/", m.wait_for(r"^\[api\] listening on ")).group(0)
        for _ in range(10):
            m.wait_for(r"^\[share\] accepted ")
        m.wait_for(r"^\[found\] device=\d nonce=\d+ hash=0{6}\w+ meets the network target: a block for the pool$")
        self.assertTrue(pool.call("newjob", {"clean": True}))  # every device moves to it at its next batch
        m.wait_for(r"^\[job\] id=2 clean ")
        pool.call("difficulty", 0.001)  # half as many shares from here on
        after = int(m.wait_for(r"^\[job\] id=2 target=").rsplit("=", 1)[1], 16)
        self.assertLessEqual(abs(2 * after - before), 2)
        for fault in ("drop", "garbage", "longline", "reconnect"):  # each: a new connection, and mining goes on
            pool.call("fault", {"mode": fault})
            m.wait_for(r"^\[pool\] connected to ")
            m.wait_for(r"^\[share\] accepted ")
        with urllib.request.urlopen(api + "api/v1/summary") as r:
            summary = json.load(r)["pool"]
        with urllib.request.urlopen(api + "metrics") as r:
            metrics = r.read().decode()
        m.stop()
        shares = pool.call("status")["shares"]
        # Only a share sent as the clean job crossed it on the wire may be refused, as stale.
        refused = [s for s in shares if s["error"]]
        self.assertTrue(all(s["job"] == "1" and s["error"][0] == 21 for s in refused), refused)
        self.assertTrue(summary["accepted"] >= 14 and summary["rejected"] == len(refused) and summary["connected"],
                        summary)
        self.assertIn('vkn_pool_shares_total{url="%s",result="accepted"} ' % pool.url, metrics)
        self.assertGreaterEqual(len(shares), 14)
        self.assertEqual({int(s["extranonce2"], 16) % 2 for s in shares}, {0, 1})  # the devices' lanes
        self.assertEqual(sum(line == "[share] rejected (stale)" for line in m.lines), len(refused))
        per_device = [int(re.search(r"accepted=(\d+)", line)[1]) for line in m.lines if line.startswith("[share] device=")]
        self.assertTrue(per_device and max(per_device) > 0, m.lines)
        # Blocks for the pool are journaled, header and coinbase, and never as blocks to resubmit.
        with open(m.journal) as f:
            records = [json.loads(line) for line in f]
        found = [r for r in records if r["status"] == "pool"]
        self.assertTrue(found and not any(r["status"] == "pending" for r in records), records)
        for r in found:
            header = bytes.fromhex(r["header"])
            digest = hashlib.sha3_256(hashlib.sha3_256(hashlib.sha3_256(header).digest()).digest()).digest()
            self.assertEqual((digest[::-1].hex(), header[4:36][::-1].hex(), r["pool"]), (r["hash"], r["prevhash"], pool.url))
            self.assertTrue(1000 < r["height"] < 1003 and r["extranonce2"] in r["coinbase"], r)
        self.assertIn("pool-accepted", {r["status"] for r in records if r["hash"] in {f["hash"] for f in found}})

    def test_failover_and_a_refused_worker(self):
        first, second = self.pool(), self.pool()
        m = self.start([first, second])
        m.wait_for(r"^\[share\] accepted ")
        first.stop()  # three failed attempts, then the second pool
        start = time.time()
        m.wait_for(r"^\[pool\] connected to %s$" % re.escape(second.url), timeout=20)
        self.assertLess(time.time() - start, 10)
        m.wait_for(r"^\[share\] accepted ")
        m.stop()
        # A pool that restarts: mining resumes within 5 s of its return; jobs it forgot: shares refused as stale.
        m = self.start([second])
        m.wait_for(r"^\[share\] accepted ")
        second.stop()
        time.sleep(2)
        second = self.pool(port=second.port)
        back = time.time()
        m.wait_for(r"^\[pool\] connected to ")
        m.wait_for(r"^\[share\] accepted ")
        self.assertLess(time.time() - back, 5)
        second.call("fault", {"mode": "stale"})
        m.wait_for(r"^\[share\] rejected \(stale\)$")
        second.call("newjob", {"clean": True})
        m.wait_for(r"^\[share\] accepted ")
        m.stop()
        # TLS: the pool's self-signed certificate is refused, unless --pool-insecure.
        folder = tempfile.mkdtemp()
        cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                        "-days", "1", "-keyout", key, "-out", cert], capture_output=True, check=True)
        tls = self.pool("--tls", cert, key)
        m = self.start([tls])
        deadline = time.time() + 20
        while "certificate verify failed" not in "".join(m.err) and time.time() < deadline:
            time.sleep(0.1)
        self.assertIn("certificate verify failed", "".join(m.err))
        m = self.start([tls], "--pool-insecure")
        m.wait_for(r"^\[share\] accepted ")
        m.stop()
        second.call("fault", {"mode": "refuse"})
        p = subprocess.run(self.start([second]).proc.args, capture_output=True, text=True, timeout=30)
        self.assertEqual((p.returncode, p.stderr.splitlines()),
                         (1, ["error: the pool refused worker w1: unauthorised", "try --help"]))


class OneShotRuns(NodeGroup):
    def test_status_and_lines(self):
        bad_cookie = os.path.join(tempfile.mkdtemp(), "cookie")
        with open(bad_cookie, "w") as f:
            f.write("no colon here\n")
        gpu = os.path.exists("/dev/nvidiactl")  # a machine with an NVIDIA driver
        no_device = "error: cudaSetDevice: " if os.environ.get("VKN_HAVE_CUDA") == "ON" else \
            "error: CUDA support is not compiled in; use --cpu"
        # The help text is the README's Options block, with the program's own path.
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")) as f:
            block = f.read().split("## Options\n\n```\n", 1)[1].split("```", 1)[0]
        help_lines = block.replace("  vkn-miner ", "  %s " % MINER).splitlines()
        rows = [  # fault on getblocktemplate, command, status, stdout's first lines, stderr's first line
            (None, [MINER, "--help", "--bogus"], 0, help_lines, None),
            (None, [MINER, "--selftest", "--cpu"], 0, ["selftest ok"], None),
            (None, [MINER, "--gpu", "x", "--help"], 1, [], "error: invalid integer for --gpu: x"),
            # A device no machine has: a fatal error whether or not a GPU is present.
            (None, [MINER, "--gpu", "999", "--selftest"], 1, [], no_device),
            (None, self.miner("--api", "0.0.0.0:8080"), 1, [],
             "error: --api on 0.0.0.0, not a loopback address, needs --api-token"),
            (None, self.miner("--api", self.node.url[7:-1]), 1, [],  # the node's own port is taken
             "error: cannot bind the status API to " + self.node.url[7:-1]),
            (None, [MINER, "--gpu", "all", "--selftest"], 0 if gpu else 1, ["selftest ok"] if gpu else [],
             None if gpu else "error: no CUDA device is available"),
            (None, self.miner(journal="/dev/zero"), 1, [], "error: --found-log /dev/zero is not a regular file"),
            (None, self.miner(url="http://127.0.0.1:1/"), 1, [],
             "error: RPC curl failure calling getblocktemplate: Couldn't connect to server"),
            (None, self.miner(auth=["--rpc-user", "alice", "--rpc-pass", "wrong"]), 1, [],
             "error: RPC HTTP 401 calling getblocktemplate: "),
            (None, self.miner(auth=["--rpc-cookie", bad_cookie]), 1, [],
             "error: RPC cookie file does not contain user:password: " + bad_cookie),
            ("rpcerror", self.miner(), 1, [], 'error: JSON-RPC error calling getblocktemplate: {"code":-10,'),
            ("badjson", self.miner(), 1, [], "error: invalid JSON-RPC response: "),
            *[(None, self.miner("--payout", PAYOUT + ":5000000001", *api), 2, [],
               "[work] candidate build failed: absolute payout sum exceeds coinbasevalue from template")
              for api in ([], ["--api", "127.0.0.1:0"], ["--api", "127.0.0.1:0"], ["--api", "127.0.0.1:0"])],
            (None, ["prlimit", "--as=400000000", MINER, "--benchmark", "1", "--cpu", "--cpu-threads", "1000"], 1,
             ["[cpu] threads=1000 "], "error: cannot start search thread "),
            # A device that fails while mining ends the process rather than leaving it idle.
            (None, ["prlimit", "--as=400000000", *self.miner("--cpu-threads", "1000")], 1,
             ["[cpu] threads=1000 "], "error: cannot start search thread "),
            (None, [MINER, "--benchmark", "3", "--cpu", "--cpu-threads", "1", "--status-sec", "1", "--cpu-path", "scalar"],
             0, ["[cpu] threads=1 nonces/batch=262144 path=scalar", "[stat] height=0 extranonce=0 nonce="], None),
        ]
        for fault, cmd, status, out, err in rows:
            self.configure(fault and {"mode": fault, "methods": ["getblocktemplate"]}, txs=0)
            err = [err] + (["try --help"] if status == 1 else []) if err else []
            out = self.check(cmd, status, [re.escape(x) for x in out], [re.escape(x) for x in err], last=None)[1]
        m = re.fullmatch(r"\[bench\] hashes=\d+ seconds=(\d+\.\d\d) rate=\d+\.\d\d [kM]?H/s", out[-1])
        # A status line once a whole --status-sec has passed: two in three seconds.
        self.assertTrue(m and float(m[1]) >= 3.0 and sum(x.startswith("[stat] ") for x in out) >= 2, out)


if __name__ == "__main__":
    unittest.main()
