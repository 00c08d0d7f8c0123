#!/usr/bin/env bash
# Installs the build as the Debian package lays it out (no dpkg, no systemd
# needed) into a scratch root, runs the installed topcard until its model reports that
# the task adopted flow 1 and started its chip, looks at it with the
# unpacked topctl (its metrics through promtool where that is installed),
# checks the unit with systemd-analyze where that is installed, stops the
# card, and checks that the programs, pages and files lie where they should
# and that none of the programs outlives the card.
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

root=$scratch/root/usr
cmake --install "$build" --prefix "$root" >/dev/null
for f in bin/topcard bin/topchip bin/topctl libexec/topadapter/topAdapter libexec/topadapter/topnoded \
         libexec/topadapter/topmodel share/man/man1/topctl.1.gz share/man/man1/topcard.1.gz \
         share/man/man1/topchip.1.gz share/bash-completion/completions/topctl lib/systemd/system/topcard.service \
         lib/systemd/system/topctl-metrics.service share/topadapter/schema/topctl/flows.json \
         share/topadapter/schema/topctl/error.json; do
  [ -e "$root/$f" ] || fail "$f is not in the package"
done
[ ! -e "$root/bin/topAdapter" ] || fail "the task is on the PATH"
for p in bin/topcard bin/topchip bin/topctl libexec/topadapter/topnoded libexec/topadapter/topmodel; do
  "$root/$p" --version 2>/dev/null | grep -qE "^${p##*/} [0-9]+\.[0-9]+" || fail "$p --version"
done
zcat "$root/share/man/man1/topctl.1.gz" | grep -q '^\.B monitor' || fail "topctl(1) lacks monitor"
if command -v systemd-analyze >/dev/null; then
  # As installed, with the programs they start where this install put them; together, as one names the other.
  for unit in topcard topctl-metrics; do
    sed "s|^ExecStart=/usr/|ExecStart=$root/|" "$root/lib/systemd/system/$unit.service" >"$scratch/$unit.service"
  done
  systemd-analyze verify --man=no "$scratch/topcard.service" "$scratch/topctl-metrics.service" >"$scratch/verify" 2>&1 ||
    { cat "$scratch/verify"; fail "systemd-analyze rejects topcard.service or topctl-metrics.service"; }
else
  echo "systemd-analyze not installed: the unit is not verified"
fi
# The completion offers commands and, after a command that takes one, the node's flow keys.
completion=$(bash -c "source '$root/share/bash-completion/completions/topctl'; COMP_WORDS=(topctl mon); COMP_CWORD=1; _topctl; echo \${COMPREPLY[*]}")
[ "$completion" = monitor ] || fail "completion of 'mon' gave '$completion'"

# Run from elsewhere, so that nothing of the build tree is found by accident.
cd /
node=$scratch/node
mkdir -m 700 "$node"
export TOPADAPTER_NODE_DIR=$node
CARD_LOG_DIR=$scratch/logs TOPADAPTER_TIME_SCALE=10 TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS=0 \
  "$root/bin/topcard" >"$scratch/out" 2>&1 &
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
"$root/bin/topctl" wait 1 running --timeout 10 >/dev/null || fail "topctl: flow 1 not running"
completion=$(bash -c "source '$root/share/bash-completion/completions/topctl'; PATH=$root/bin:\$PATH; COMP_WORDS=(topctl flow ''); COMP_CWORD=2; _topctl; echo \${COMPREPLY[*]}")
[ "$completion" = "1 2 --json --help" ] || fail "completion of flow keys gave '$completion'"
"$root/bin/topctl" metrics >"$scratch/metrics" || fail "topctl metrics failed"
grep -qx 'topadapter_flow_adapter_state{flow="1",unit="1"} 3' "$scratch/metrics" || fail "no running flow 1 in the metrics"
if command -v promtool >/dev/null; then
  promtool check metrics <"$scratch/metrics" || { cat "$scratch/metrics"; fail "promtool rejects the metrics"; }
else
  echo "promtool not installed: the metrics are not linted"
fi

kill "$card"
wait "$card" || fail "topcard did not end in order when stopped"
card=
deadline=$((SECONDS + 5))
while ls -l /proc/[0-9]*/exe 2>/dev/null | grep -qF "$scratch/root/"; do
  [ $SECONDS -lt $deadline ] || fail "installed programs outlive topcard"
  sleep 0.1
done
[ -s "$scratch/logs/topAdapter.log" ] || fail "no task log in CARD_LOG_DIR"
echo "installed card ran and adopted flow 1; topctl sees it running"
