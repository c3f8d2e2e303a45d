#!/usr/bin/env bash
# The checks a GPU machine is borrowed for, in one short run: the device, the
# self-test, the whole search at a few launch geometries, the CPU search for
# comparison, and the kernel's register and spill report. Uses a build made
# beforehand (BUILD_DIR, default build/, configured with CUDA); writes
# everything to standard output and, when OUT is set, to $OUT/gpu_check.log.
#   bench/gpu_check.sh [SECONDS per benchmark, default 10]
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
seconds="${1:-10}"
miner="$build/src/vkn-miner"
log="${OUT:+$OUT/gpu_check.log}"
exec > >(tee ${log:+"$log"}) 2>&1

step() { echo; echo "== $*"; }
status=0
run() {
  echo "\$ $*"
  "$@" || { echo "(exit status $?)"; status=1; }
}

step "device"
run nvidia-smi --query-gpu=name,compute_cap,clocks.max.sm,memory.total,driver_version --format=csv
[ -x "$miner" ] || { echo "no $miner: build first (cmake -S . -B build && cmake --build build)"; exit 1; }

step "self-test"
run "$miner" --selftest

step "whole search, default geometry, then other iterations per thread"
run "$miner" --benchmark "$seconds" --status-sec "$seconds"
for iters in 256 1024 2048; do
  run "$miner" --benchmark "$seconds" --status-sec "$seconds" --iters "$iters"
done

step "CPU search, every hardware thread"
run "$miner" --benchmark "$seconds" --status-sec "$seconds" --cpu

step "host hashes and search core"
[ -x "$build/bench/hash_bench" ] && run "$build/bench/hash_bench" --benchmark_min_time=0.5

step "kernel registers, spills and instruction count"
if command -v nvcc >/dev/null 2>&1 || [ -x /usr/local/cuda/bin/nvcc ]; then
  run python3 "$root/bench/kernel_report.py" --nvcc "$(command -v nvcc || echo /usr/local/cuda/bin/nvcc)"
else
  echo "nvcc not found: skipped (the report needs no GPU; run it where the toolkit is)"
fi
exit "$status"
