#!/usr/bin/env bash
# Runs a simulated card on this host: the membership service, the management
# model with two flows (flow 1 on this task's unit 1, flow 2 on unit 2, both
# unlocked with a master address) and topAdapter on a simulated ToP chip. The
# model prints what it hears from the task whenever that changes. Stops after
# RUN_SECONDS (default: runs until interrupted); every process of the card
# ends with the script, however it ends.
#
# From the repository it builds the programs first and runs them from
# build/bin. Installed (as bin/topcard, configured by cmake/Install.cmake) it
# runs the programs installed beside it. CARD_LOG_DIR=- sends every
# process's log to standard error (the journal, under systemd).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
libexec_rel="@TOPCARD_LIBEXEC_REL@"
case "${1:-}" in
  --version)
    version="@PROJECT_VERSION@"
    [ "${version#@}" = "$version" ] || version="(source tree)"
    echo "topcard $version"; exit 0 ;;
  -h|--help)
    echo "usage: topcard [--version]"
    echo "Runs a simulated card on this host until stopped; see topcard(1)."
    exit 0 ;;
  "") ;;
  *) echo "topcard: unexpected '$1' (see 'topcard --help')" >&2; exit 2 ;;
esac
if [ "${libexec_rel#@}" = "$libexec_rel" ]; then
  bin=$here/$libexec_rel
  tools=$here
  logs=${CARD_LOG_DIR:-${XDG_STATE_HOME:-$HOME/.local/state}/topadapter/card}
else
  root=$(cd "$here/.." && pwd)
  cd "$root"
  "$root/scripts/deps.sh"
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"${JOBS:-2}" --target topAdapter topnoded topchip topmodel topctl
  bin=$root/build/bin
  tools=build/bin
  logs=${CARD_LOG_DIR:-$root/build/card}
fi

own_dir=
if [ -z "${TOPADAPTER_NODE_DIR:-}" ]; then
  own_dir=$(mktemp -d /tmp/topadapter-card.XXXXXX)
  export TOPADAPTER_NODE_DIR=$own_dir
fi
chmod 700 "$TOPADAPTER_NODE_DIR"
[ "$logs" = - ] || mkdir -p "$logs"
export TOPADAPTER_TRACE_MASK=${TOPADAPTER_TRACE_MASK:-0xffffffff}
# The chip comes up in a firmware upgrade that the task waits out.
export TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS=${TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS:-3}

pids=()
cleanup() {
  # In reverse order of start, each waited for. The task ends in order by
  # calling the model; stopped all at once, the model and the membership
  # service that would report its end may be gone first, and such a call
  # waits for the protocol's time-out.
  local i dog
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || continue
    # One that has not ended in 20 s is ended outright.
    sleep 20 >/dev/null 2>&1 &
    dog=$!
    wait -n "${pids[i]}" "$dog" 2>/dev/null || true
    kill "$dog" 2>/dev/null || kill -KILL "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" "$dog" 2>/dev/null || true
  done
  if [ -n "$own_dir" ]; then rm -rf "$own_dir"; fi
}
trap cleanup EXIT
# Being stopped is the orderly end; a task that dies is a failure.
trap 'exit 0' INT TERM
# Each process dies with this script, even when the script is killed outright.
start() {
  local log=$1
  shift
  if [ "$logs" = - ]; then
    setpriv --pdeathsig KILL "$@" &
  else
    TOPADAPTER_LOG_FILE=$logs/$log.log setpriv --pdeathsig KILL "$@" &
  fi
  pids+=($!)
}

[ "$logs" = - ] || : > "$logs/topnoded.log" > "$logs/topmodel.log" > "$logs/topAdapter.log"
start topnoded "$bin/topnoded"
TOPADAPTER_ACTOR=topmodel start topmodel "$bin/topmodel" --flow 1:1:1:10.0.0.1 --flow 2:2:1:10.0.0.2 --report 1
start topAdapter "$bin/topAdapter"
echo "node directory: $TOPADAPTER_NODE_DIR; logs and traces: $logs"
echo "the task's chip: $tools/topchip state (help: $tools/topchip help)"
echo "the operator's view: TOPADAPTER_NODE_DIR=$TOPADAPTER_NODE_DIR $tools/topctl watch (help: $tools/topctl --help)"
if [ -n "${RUN_SECONDS:-}" ]; then
  sleep "$RUN_SECONDS"
else
  status=0
  wait "${pids[2]}" || status=$?
  echo "topcard: the task ended with status $status" >&2
  exit $((status == 0 ? 1 : status))
fi
