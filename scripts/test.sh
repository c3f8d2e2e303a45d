#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Exits non-zero on
# any failure. BUILD_DIR overrides the build folder (default build/).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
build="${BUILD_DIR:-$root/build}"
jobs="$(nproc 2>/dev/null || echo 2)"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$jobs"
status=0
(cd "$build" && ctest --output-on-failure -j "$jobs") || status=1

# Again under the sanitizers: the network code's threads under TSan; the
# transport, hashes, search core and block assembly under ASan and UBSan.
for san in thread address; do
  sbuild="$build-$san"
  cmake -S "$root" -B "$sbuild" -DCMAKE_BUILD_TYPE=Debug -DVKN_SANITIZE="$san" >/dev/null
  cmake --build "$sbuild" -j "$jobs"
  (cd "$sbuild" && TSAN_OPTIONS="halt_on_error=1" ctest --output-on-failure -j "$jobs") || status=1
done

# The fuzz targets (clang's libFuzzer) from their seeds, VKN_FUZZ_SECONDS each.
fbuild="$build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$fbuild" -DCMAKE_BUILD_TYPE=Debug -DVKN_SANITIZE=fuzz \
  -DVKN_FUZZ_SECONDS="${VKN_FUZZ_SECONDS:-20}" >/dev/null
cmake --build "$fbuild" -j "$jobs"
(cd "$fbuild" && ctest --output-on-failure -j "$jobs") || status=1

if [ "$status" -ne 0 ]; then
  echo "TESTS FAILED"
fi
exit "$status"
