#!/usr/bin/env bash
# Builds here (CUDA toolkit needed, no GPU) everything gpu_check.sh runs on a
# borrowed GPU machine, for a machine that cannot build the miner itself: no
# network there, and its image need not have this project's libraries. The
# bundle holds the miner for each kernel layout and variant, the CPU
# benchmarks, and every shared library they load beyond the C and C++
# runtimes, so that it runs on any newer x86-64 Linux with an NVIDIA driver.
#   bench/gpu_bundle.sh [DIR, default build-gpu]
# VKN_GPU_ARCHS picks the architectures (default 90-real: H100 and H200).
# Then, on the GPU machine, with DIR in the working tree: bench/gpu_check.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bundle="${1:-$root/build-gpu}"
archs="${VKN_GPU_ARCHS:-90-real}"
jobs="$(nproc)"

rm -rf "$bundle"
mkdir -p "$bundle/bin" "$bundle/lib"
for variant in "default:" "unroll1:-DVKN_SEARCH_UNROLL=1" "unroll0:-DVKN_SEARCH_UNROLL=0" \
  "imad:-DVKN_ROTATE_IMAD=ON"; do
  name="${variant%%:*}"
  flags=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CUDA_ARCHITECTURES=$archs")
  [ -n "${variant#*:}" ] && flags+=("${variant#*:}")
  vbuild="$root/build-gpu-$name"
  conf="$(cmake -S "$root" -B "$vbuild" "${flags[@]}")" ||
    { echo "error: $name: cmake could not configure the build (its message is above)" >&2; exit 1; }
  # A kernel left out of the build would make every figure a CPU one.
  grep -q "CUDA backend: ON" <<<"$conf" ||
    { echo "error: $name: no CUDA backend in the build (is nvcc on the PATH?)" >&2; exit 1; }
  if [ "$name" = default ]; then
    # The CPU benchmarks come with the default build only (they hold no kernel).
    cmake --build "$vbuild" -j "$jobs" --target vkn-miner hash_bench simd_compare >/dev/null
    cp "$vbuild/src/vkn-miner" "$vbuild/bench/hash_bench" "$vbuild/bench/simd_compare" "$bundle/bin/"
  else
    cmake --build "$vbuild" -j "$jobs" --target vkn-miner >/dev/null
    cp "$vbuild/src/vkn-miner" "$bundle/bin/vkn-miner-$name"
  fi
done

# The C library and the compiler's runtimes come from the machine: copies of
# them would clash with its loader.
ldd "$bundle"/bin/* | awk '$2 == "=>" && $3 ~ /^\// {print $3}' | sort -u |
  grep -Ev '/(libc|libm|libdl|libpthread|librt|libresolv|libstdc\+\+|libgcc_s|ld-linux[^/]*)\.so' |
  while read -r lib; do cp -L "$lib" "$bundle/lib/"; done

size_mib=$(( $(du -sk "$bundle" | cut -f1) / 1024 ))
echo "bundle: $bundle, $size_mib MiB: $(ls "$bundle/bin" | tr '\n' ' ')"
echo "libraries: $(ls "$bundle/lib" | wc -l); newest C library symbol needed:" \
  "$(objdump -T "$bundle"/bin/* "$bundle"/lib/* 2>/dev/null | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1)"
echo "on the GPU machine, with $(basename "$bundle") in the working tree: bench/gpu_check.sh"
