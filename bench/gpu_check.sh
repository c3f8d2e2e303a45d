#!/usr/bin/env bash
# The checks a GPU machine is borrowed for, in one short run (under 8 minutes
# on 16 cores): the device, the self-test, the whole search for each kernel
# layout and variant and for a few launch geometries, the CPU search, the
# kernel's register and spill report, and one table of rates at the end,
# each GPU rate with the miner's own NVML readings and hashes per joule.
# Runs the bundle that gpu_bundle.sh made (BUNDLE_DIR, default build-gpu/),
# here or elsewhere; without one it makes one for the GPU at hand first.
# Writes to standard output and, when OUT is set, to $OUT/gpu_check.log.
#   bench/gpu_check.sh [SECONDS per benchmark, default 15]
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bundle="${BUNDLE_DIR:-$root/build-gpu}"
seconds="${1:-15}"
log="${OUT:+$OUT/gpu_check.log}"
exec > >(tee ${log:+"$log"}) 2>&1
if [ ! -x "$bundle/bin/vkn-miner" ]; then
  echo "no bundle in $bundle: building one for this GPU"
  VKN_GPU_ARCHS=native "$root/bench/gpu_bundle.sh" "$bundle" >/dev/null || exit 1
fi
export LD_LIBRARY_PATH="$bundle/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
miner="$bundle/bin/vkn-miner"

step() { echo; echo "== $*"; }
status=0
table=()
run() {
  echo "\$ $*"
  "$@" || { echo "(exit status $?)"; status=1; }
}
# bench LABEL MINER ARGS...: one benchmark, its rate kept for the table.
bench() {
  local label="$1" bin="$2"
  shift 2
  echo "\$ $bin --benchmark $seconds --status-sec $seconds $*"
  local out
  out="$("$bin" --benchmark "$seconds" --status-sec "$seconds" "$@" 2>&1)" || status=1
  echo "$out"
  local rate health
  rate="$(echo "$out" | grep -o 'rate=.*' | tail -1)"
  # The device's sensors as the run ended, and its hashes per joule at that rate.
  health="$(echo "$out" | grep '^\[health\] device=' | tail -1 | sed 's/^\[health\] device=[0-9]* //')"
  table+=("$(printf '%-34s %s  %s' "$label" "${rate:-failed: see its output above}" "$health")")
}

step "device"
run nvidia-smi --query-gpu=name,compute_cap,clocks.max.sm,memory.total,driver_version,pci.bus_id --format=csv
run nvidia-smi --query-gpu=temperature.gpu,power.draw,power.limit,fan.speed,clocks.sm,clocks.mem --format=csv
echo "miner: $miner"

step "self-test"
run "$miner" --selftest

step "whole search: default kernel, geometries"
bench "default" "$miner"
for iters in 256 1024 2048; do bench "default --iters $iters" "$miner" --iters "$iters"; done
for tpb in 64 256; do bench "default --threads-per-block $tpb" "$miner" --threads-per-block "$tpb"; done

step "whole search: the other layouts and the multiply-add rotations"
for vminer in "$bundle"/bin/vkn-miner-*; do
  run "$vminer" --selftest
  bench "${vminer##*/vkn-miner-}" "$vminer"
done

step "CPU search, every hardware thread, and one thread per vector path against the comparison implementation"
bench "cpu (all threads)" "$miner" --cpu
for path in avx512 avx2; do
  grep -qw "${path/avx512/avx512f}" /proc/cpuinfo && bench "cpu 1 thread $path" "$miner" --cpu --cpu-threads 1 --cpu-path "$path"
done
[ -x "$bundle/bin/simd_compare" ] && run "$bundle/bin/simd_compare"

step "host hashes and search core"
[ -x "$bundle/bin/hash_bench" ] && run "$bundle/bin/hash_bench" --benchmark_min_time=0.5

step "kernel registers, spills and instruction count"
if command -v nvcc >/dev/null 2>&1 || [ -x /usr/local/cuda/bin/nvcc ]; then
  nvcc_path="$(command -v nvcc || echo /usr/local/cuda/bin/nvcc)"
  run python3 "$root/bench/kernel_report.py" --check --nvcc "$nvcc_path"
  run python3 "$root/bench/kernel_report.py" --imad --arch 90 --nvcc "$nvcc_path"
else
  echo "nvcc not found: skipped (the report needs no GPU; run it where the toolkit is)"
fi
# Where the toolkit has a disassembler, the kernel's instruction mix for the
# GPU at hand (the report above decodes only sizes and branches).
if command -v cuobjdump >/dev/null 2>&1; then
  echo "\$ cuobjdump -sass $miner | opcode counts of sha3t_mine_kernel"
  cuobjdump -sass "$miner" | awk '/Function : .*sha3t_mine_kernel/ {k = 1; next} /Function :/ {k = 0}
    k && /\/\*[0-9a-f]+\*\// {op = $2; if (op ~ /^@/) op = $3; sub(/[.;].*/, "", op); n[op]++; t++}
    END {for (o in n) printf "%7d %s\n", n[o], o; printf "%7d total\n", t}' | sort -rn | head -12
fi

step "rates"
printf '%s\n' "${table[@]}"
exit "$status"
