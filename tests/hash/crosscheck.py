#!/usr/bin/env python3
"""The miner's hashes against hashlib on random inputs of 0 to 600 bytes and
longer, and the search core on random headers and edge nonces (fixed seed);
then the self-test on the tool's core. With --planted-fault the core is
built wrong on purpose: both must say so."""
import hashlib
import random
import subprocess
import sys


def sha3t(b):
    for _ in range(3):
        b = hashlib.sha3_256(b).digest()
    return b


ORACLES = {
    "sha256": lambda b: hashlib.sha256(b).digest(),
    "sha256d": lambda b: hashlib.sha256(hashlib.sha256(b).digest()).digest(),
    "sha3_256": lambda b: hashlib.sha3_256(b).digest(),
    "sha3_256t": sha3t,
    "core": sha3t,
}


def main():
    tool, fault = sys.argv[1], "--planted-fault" in sys.argv
    rng = random.Random(20261206)
    cases = [] if fault else [(alg, rng.randbytes(n)) for n in list(range(601)) + [1000, 4096, 65539, 1 << 20]
                              for alg in ORACLES if alg != "core"]
    cases += [("core", rng.randbytes(76) + n.to_bytes(4, "little"))
              for n in [0, 1, 0x80000000, 0xFFFFFFFF] * 50 + [rng.getrandbits(32) for _ in range(2000)]]
    stdin = "".join(f"{alg} {data.hex()}\n" for alg, data in cases) + "selftest\n"
    out = subprocess.run([tool], input=stdin, capture_output=True, text=True, check=True).stdout.splitlines()
    selftest = out.pop() if out else ""
    bad = [(alg, len(data)) for (alg, data), got in zip(cases, out) if got != ORACLES[alg](data).hex()]
    want = "GPU SHA3-256t does not match CPU SHA3-256t" if fault else "ok"
    if fault:  # the planted fault must show in the hashes and in the self-test
        bad = [] if bad else ["a faulty core that matches hashlib"]
    passed = len(out) == len(cases) and not bad and selftest == want
    print(f"selftest: {selftest!r}, expected {want!r}; mismatches: {bad[:5]}")
    print(f"{1 if passed else 0} passed, {0 if passed else 1} failed")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
