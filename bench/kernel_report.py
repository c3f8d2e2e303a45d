#!/usr/bin/env python3
"""Compiles the search kernel for each architecture and reports its size:
registers, spill stores and loads and stack frame (from ptxas), and the
number of SASS instructions (the kernel's .text section in the cubin, 16
bytes per instruction), and the size of the per-nonce loop, from its
backward branch: an upper bound on the instructions executed per nonce in the
default layout (one nonce per pass). A GPU-free measure of the kernel's speed.

  kernel_report.py [--check] [--unroll N] [--imad] [--arch 75,80,...] [--nvcc PATH]

--check exits non-zero when any architecture spills, uses a stack frame or
more than 128 registers (four blocks of 128 threads per multiprocessor), or
when the default layout's sm_90 count exceeds the budget by more than 1 %:
a compiler or code change that bloats the kernel fails the tests.
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_ARCHS = "75,80,86,89,90"
# The default layout's sm_90 SASS instructions, as reached (nvcc 13.0).
SM90_BUDGET = 12560


def kernel_text(cubin, name_part):
    """The .text section of the kernel in an ELF64 cubin."""
    data = open(cubin, "rb").read()
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)
    def section(i):
        return struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize)
    strtab = section(shstrndx)
    names = data[strtab[4]:strtab[4] + strtab[5]]
    for i in range(shnum):
        sh = section(i)
        name = names[sh[0]:names.index(b"\0", sh[0])].decode()
        if name.startswith(".text.") and name_part in name:
            return data[sh[4]:sh[4] + sh[5]]
    raise RuntimeError("no .text section for the kernel in " + cubin)


def longest_loop(text, arch):
    """Instructions spanned by the kernel's longest backward branch.

    No disassembler ships with the toolkit; the branch's fields were read off
    kernels with known loops: opcode 0x947 in the low 12 bits, and the offset
    from the next instruction in bytes in the signed bits 32..63, which sm_90
    counts in units of 256 bytes with the rest, in words, in bits 16..23."""
    longest = 0
    for k in range(len(text) // 16):
        lo, = struct.unpack_from("<Q", text, 16 * k)
        if lo & 0xFFF != 0x947:
            continue
        high = lo >> 32
        offset = high - (1 << 32) if high >> 31 else high
        if int(arch) >= 90:
            offset = offset * 256 + ((lo >> 16) & 0xFF) * 4
        if offset < -16:  # -16: the branch to itself that ends every kernel
            longest = max(longest, -offset // 16)
    return longest


def report(nvcc, arch, unroll, imad=False):
    with tempfile.TemporaryDirectory() as tmp:
        cubin = os.path.join(tmp, "k.cubin")
        cmd = [nvcc, "-cubin", "-std=c++17", "-O3", f"-arch=sm_{arch}", "-Xptxas", "-v",
               "-I", os.path.join(ROOT, "src"), os.path.join(ROOT, "src/search/cuda/cuda_miner.cu"), "-o", cubin]
        if unroll is not None:
            cmd.insert(1, f"-DVKN_SEARCH_UNROLL={unroll}")
        if imad:
            cmd.insert(1, "-DVKN_ROTATE_IMAD=1")
        out = subprocess.run(cmd, capture_output=True, text=True)
        if out.returncode != 0:
            raise RuntimeError(out.stderr)
        log = out.stderr
        # Keep only the kernel's own lines.
        k = log[log.index("sha3t_mine_kernel"):]
        regs = int(re.search(r"Used (\d+) registers", k).group(1))
        m = re.search(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads", k)
        stack, stores, loads = (int(x) for x in m.groups()) if m else (0, 0, 0)
        text = kernel_text(cubin, "sha3t_mine_kernel")
        return regs, stack, stores, loads, len(text) // 16, longest_loop(text, arch)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--check", action="store_true")
    ap.add_argument("--unroll", type=int)
    ap.add_argument("--imad", action="store_true", help="the experimental multiply-add rotations")
    ap.add_argument("--arch", default=DEFAULT_ARCHS)
    ap.add_argument("--nvcc", default="nvcc")
    a = ap.parse_args()
    bad = 0
    layout = {None: "default", 2: "all 72 rounds unrolled", 1: "one body run three times", 0: "rolled"}[a.unroll]
    print(f"sha3t_mine_kernel ({layout})")
    for arch in a.arch.split(","):
        regs, stack, stores, loads, insns, loop = report(a.nvcc, arch, a.unroll, a.imad)
        print(f"sm_{arch}: registers={regs} stack={stack} spill_stores={stores} spill_loads={loads} "
              f"sass_instructions={insns} nonce_loop={loop}")
        over_budget = a.unroll is None and not a.imad and arch == "90" and insns > SM90_BUDGET * 1.01
        if over_budget:
            print(f"sm_90: {insns} instructions exceed the budget of {SM90_BUDGET} by more than 1 %")
        if stack or stores or loads or regs > 128 or over_budget:
            bad += 1
    if a.check:
        print(f"{len(a.arch.split(',')) - bad} passed, {bad} failed")
    return 1 if (a.check and bad) else 0


if __name__ == "__main__":
    sys.exit(main())
