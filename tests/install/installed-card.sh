#!/usr/bin/env bash
# Installs the build into a scratch prefix, runs the installed topcard until
# its model reports that the task adopted flow 1 and started its chip, stops
# it, and checks that the installed programs lie where they should and that
# none of them outlives the card.
set -euo pipefail
build=$1
scratch=$(mktemp -d /tmp/topadapter-install.XXXXXX)
card=
finish() {
  if [ -n "$card" ]; then kill "$card" 2>/dev/null || true; wait "$card" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap finish EXIT
fail() { echo "FAIL: $*"; [ -f "$scratch/out" ] && cat "$scratch/out"; exit 1; }

cmake --install "$build" --prefix "$scratch/usr" >/dev/null
for f in bin/topcard bin/topchip libexec/topadapter/topAdapter libexec/topadapter/topnoded libexec/topadapter/topmodel; do
  [ -x "$scratch/usr/$f" ] || fail "$f is not installed"
done
[ ! -e "$scratch/usr/bin/topAdapter" ] || fail "the task is on the PATH"

# Run from elsewhere, so that nothing of the build tree is found by accident.
cd /
CARD_LOG_DIR=$scratch/logs TOPADAPTER_TIME_SCALE=10 TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS=0 \
  "$scratch/usr/bin/topcard" >"$scratch/out" 2>&1 &
card=$!
adopted="flow 1 (unit 1) admin 1 master 10.0.0.1 driver up lock yes"
deadline=$((SECONDS + 20))
until grep -qF "$adopted" "$scratch/out"; do
  [ $SECONDS -lt $deadline ] || fail "flow 1 not adopted within 20 s"
  kill -0 "$card" 2>/dev/null || fail "topcard ended early"
  sleep 0.1
done
# Flow 2 belongs to another unit: the task leaves it alone.
tail -n 1 "$scratch/out" | grep -qF "flow 2 (unit 2) admin 1 master 10.0.0.2 driver - lock -" ||
  fail "flow 2 was touched"

kill "$card"
wait "$card" || true
card=
deadline=$((SECONDS + 5))
while ls -l /proc/[0-9]*/exe 2>/dev/null | grep -qF "$scratch/usr/"; do
  [ $SECONDS -lt $deadline ] || fail "installed programs outlive topcard"
  sleep 0.1
done
[ -s "$scratch/logs/topAdapter.log" ] || fail "no task log in CARD_LOG_DIR"
echo "installed card ran and adopted flow 1"
