#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/deps.sh [native|cross|fuzz|checks]...
#   checks: what the install test checks the package with: systemd-analyze,
#   and promtool, taken alone out of Debian's prometheus package (installing
#   that package would start a Prometheus server); the zones the tests are
#   run in once.
set -euo pipefail
want=(cmake g++ make libgtest-dev libbenchmark-dev libboost-dev)
promtool=
for m in "$@"; do
  case "$m" in
    cross) want+=(g++-powerpc-linux-gnu qemu-user) ;;
    fuzz) want+=(clang libclang-rt-14-dev) ;;
    checks) want+=(systemd tzdata); command -v promtool >/dev/null || promtool=1 ;;
  esac
done
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [ -n "$promtool" ]; then
  echo "installing promtool"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  scratch=$(mktemp -d)
  [ ${#missing[@]} -gt 0 ] || $SUDO apt-get update -qq
  (cd "$scratch" && apt-get download -qq prometheus 2>/dev/null &&
    dpkg-deb --fsys-tarfile prometheus_*.deb | tar -x ./usr/bin/promtool) &&
    $SUDO install -m 0755 "$scratch/usr/bin/promtool" /usr/local/bin/promtool ||
    echo "promtool not installed: the metrics check will be skipped" >&2
  rm -rf "$scratch"
fi
