#!/usr/bin/env bash
# An operator looks at a card while its task adopts, follows and lets go of
# many flows: a model with 40 flows on the task's unit, the task started
# beside it, and for SECONDS three loops at once: operators reading the card
# (topctl flows and flow 1, over and over), an operator deleting and making
# again crowds of those flows, another creating and deleting flows of its own.
# The task must live through it all and answer every look within LOOK_BOUND
# seconds (30); it ends with status 1 if not, keeping the node's logs.
#
#   bench/soak/operator-loop.sh [SECONDS (600)] [BUILD_DIR (build)]
#
# Every process takes the environment, TOPADAPTER_CHAOS included: with
# TOPADAPTER_CHAOS=SEED:RATE the schedule chaos opens the windows wide.
set -euo pipefail
secs=${1:-600}
bin=$(cd "${2:-build}/bin" && pwd)
node=$(mktemp -d /tmp/topadapter-oploop.XXXXXX)
chmod 700 "$node"
export TOPADAPTER_NODE_DIR=$node
export TOPADAPTER_TIME_SCALE=${TOPADAPTER_TIME_SCALE:-20}
export TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS=0
bound=${LOOK_BOUND:-30}
pids=()
keep=0
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ $keep = 1 ]; then echo "the node's logs are in $node" >&2; else rm -rf "$node"; fi
}
trap cleanup EXIT

topctl() { "$bin/topctl" "$@" >/dev/null 2>&1 || true; }
look() { "$bin/topctl" "$@" >/dev/null 2>>"$node/looks.log" || true; }
flows=()
for k in $(seq 1 40); do flows+=(--flow "$k:1:1:10.0.$((k / 200)).$((k % 200 + 2))"); done
TOPADAPTER_LOG_FILE=$node/topnoded.log setpriv --pdeathsig KILL "$bin/topnoded" >/dev/null &
pids+=($!)
TOPADAPTER_ACTOR=topmodel TOPADAPTER_LOG_FILE=$node/topmodel.log setpriv --pdeathsig KILL \
  "$bin/topmodel" "${flows[@]}" >/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -S "$node/topnoded.sock" ] && break; sleep 0.1; done
TOPADAPTER_UNIT=1 TOPADAPTER_LOG_FILE=$node/topAdapter.log setpriv --pdeathsig KILL "$bin/topAdapter" &
task=$!
pids+=($task)
[ -n "${TOPADAPTER_CHAOS:-}" ] && echo "schedule chaos: TOPADAPTER_CHAOS=$TOPADAPTER_CHAOS"

end=$((SECONDS + secs))
count() { echo $(($(cat "$node/$1" 2>/dev/null || echo 0) + 1)) > "$node/$1"; }
looking() {
  while [ $SECONDS -lt $end ]; do
    local t0=$SECONDS
    look flows &
    look flow 1
    wait
    [ $((SECONDS - t0)) -gt "$bound" ] && echo "$(date +%T) a look took $((SECONDS - t0)) s" >> "$node/slow"
    count looks
  done
}
crowds() {
  while [ $SECONDS -lt $end ]; do
    from=$((RANDOM % 30 + 1))
    for k in $(seq "$from" $((from + 9))); do topctl delete "$k" & done
    wait
    for k in $(seq "$from" $((from + 9))); do topctl create "$k" 1 unlocked "10.0.0.$((k + 2))" & done
    wait
    count crowds
  done
}
churn() {
  while [ $SECONDS -lt $end ]; do
    k=$((41 + RANDOM % 20))
    topctl create "$k" 1 unlocked "10.0.1.$k"
    topctl delete "$k"
    count churn
  done
}
looking & l=$!
crowds & c=$!
churn & h=$!
died=0
start=$SECONDS
while [ $SECONDS -lt $end ]; do
  if ! kill -0 "$task" 2>/dev/null; then
    died=1
    echo "the task died after $((SECONDS - start))s" >&2
    kill "$l" "$c" "$h" 2>/dev/null || true
    break
  fi
  sleep 1
done
wait "$l" "$c" "$h" 2>/dev/null || true
kill -0 "$task" 2>/dev/null || died=1
echo "operator looks: $(cat "$node/looks" 2>/dev/null || echo 0) pairs, crowds of ten deleted and made again:" \
  "$(cat "$node/crowds" 2>/dev/null || echo 0), flows made and deleted: $(cat "$node/churn" 2>/dev/null || echo 0)"
if [ $died = 1 ]; then
  echo "the task died; its last lines:" >&2
  tail -20 "$node/topAdapter.log" >&2
  keep=1
  exit 1
fi
if [ -s "$node/slow" ]; then
  echo "looks answered later than ${bound}s:" >&2
  cat "$node/slow" >&2
  keep=1
  exit 1
fi
echo "the task lived for ${secs}s"
