#!/usr/bin/env bash
# Builds the system and runs topAdapter on a simulated card on this host.
# Stops after RUN_SECONDS (default: runs until interrupted).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/deps.sh"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"${JOBS:-2}" --target topAdapter topnoded topchip

own_dir=
if [ -z "${TOPADAPTER_NODE_DIR:-}" ]; then
  own_dir=$(mktemp -d /tmp/topadapter-card.XXXXXX)
  export TOPADAPTER_NODE_DIR=$own_dir
fi
chmod 700 "$TOPADAPTER_NODE_DIR"
export TOPADAPTER_TRACE_MASK=${TOPADAPTER_TRACE_MASK:-0xffffffff}
# The chip comes up in a firmware upgrade that the task waits out.
export TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS=${TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS:-3}

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ -n "$own_dir" ]; then rm -rf "$own_dir"; fi
}
trap cleanup EXIT INT TERM

build/bin/topnoded &
pids+=($!)
echo "node directory: $TOPADAPTER_NODE_DIR (chip control: build/bin/topchip help)"
build/bin/topAdapter &
pids+=($!)
if [ -n "${RUN_SECONDS:-}" ]; then
  sleep "$RUN_SECONDS"
else
  wait "${pids[1]}"
fi
