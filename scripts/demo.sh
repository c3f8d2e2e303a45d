#!/usr/bin/env bash
# Mines a few blocks on a simulated node: builds the miner if needed, starts
# tools/simnode.py on a free loopback port with a cookie file, and runs
# vkn-miner against it (on the GPU when one is usable, else on the CPU) until
# the node has accepted 5 blocks or 60 seconds have passed. The node asks
# for about 2^22 hashes a block: seconds on a CPU, at once on a GPU.
#   scripts/demo.sh --pool: 20 seconds for tools/simpool.py instead, which
#   checks every share the miner sends.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
"$root/scripts/install-deps.sh"
work="$(mktemp -d)"
if [ ! -x "$build/src/vkn-miner" ]; then
  echo "[demo] building vkn-miner in $build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
if ! cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target vkn-miner >"$work/build.log" 2>&1; then
  cat "$work/build.log"
  exit 1
fi
miner="$build/src/vkn-miner"

node_pid=""
miner_pid=""
if [ "${1:-}" = "--pool" ]; then
  python3 "$root/tools/simpool.py" --port 0 --difficulty 0.001 > "$work/pool.out" &
  node_pid=$!
  trap 'kill "$node_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
  for _ in $(seq 100); do [ -s "$work/pool.out" ] && break; sleep 0.1; done
  pool="$(head -n 1 "$work/pool.out")"
  echo "[demo] simulated pool at $pool"
  status=0
  timeout -s INT 20 "$miner" --cpu --pool "$pool" --pool-user demo --status-sec 5 \
    --found-log "$work/found-blocks.jsonl" || status=$?
  [ "$status" -eq 0 ] || [ "$status" -eq 124 ] || exit "$status"
  exit 0
fi
cleanup() {
  [ -n "$miner_pid" ] && kill "$miner_pid" 2>/dev/null || true
  [ -n "$node_pid" ] && kill "$node_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

python3 "$root/tools/simnode.py" --port 0 --cookie "$work/.cookie" --log "$work/node.log" --txs 8 --bits 1e03ffff \
  > "$work/node.out" &
node_pid=$!
for _ in $(seq 100); do
  [ -s "$work/node.out" ] && [ -f "$work/.cookie" ] && break
  sleep 0.1
done
url="$(head -n 1 "$work/node.out")"
echo "[demo] simulated node at $url"

backend=(--cpu)
if "$miner" --selftest >/dev/null 2>&1; then
  backend=()
  echo "[demo] mining on the GPU"
else
  echo "[demo] no usable GPU: mining on the CPU"
fi

accepted() {
  python3 - "$work/node.log" <<'PY'
import json, sys
n = 0
for line in open(sys.argv[1]):
    e = json.loads(line)
    n += e.get("kind") == "block" and e.get("verdict") is None
print(n)
PY
}

# The demo's blocks go to a journal of their own, not the user's.
"$miner" "${backend[@]}" --rpc-url "$url" --rpc-cookie "$work/.cookie" --status-sec 5 \
  --found-log "$work/found-blocks.jsonl" --payout 76a91400112233445566778899aabbccddeeff0011223388ac &
miner_pid=$!
deadline=$((SECONDS + 60))
while [ "$SECONDS" -lt "$deadline" ] && kill -0 "$miner_pid" 2>/dev/null; do
  [ "$(accepted)" -ge 5 ] && break
  sleep 0.5
done
kill -INT "$miner_pid" 2>/dev/null || true
status=0
wait "$miner_pid" || status=$?
miner_pid=""

echo "[demo] miner exited with status $status"
python3 - "$work/node.log" <<'PY'
import json, sys
blocks = [json.loads(l) for l in open(sys.argv[1])]
blocks = [b for b in blocks if b.get("kind") == "block"]
good = [b for b in blocks if b.get("verdict") is None]
bad = [b for b in blocks if b.get("verdict") is not None]
print("[demo] blocks accepted by the node: %d" % len(good))
for b in good:
    print("[demo]   height=%d hash=%s bytes=%d" % (b["height"], b["hash"], b["bytes"]))
print("[demo] rejected submissions: %d" % len(bad))
for b in bad:
    print("[demo]   height=%s verdict=%s" % (b.get("height"), json.dumps(b["verdict"])))
PY
exit "$status"
