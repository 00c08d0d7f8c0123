#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/deps.sh [native|cross|fuzz]...
set -euo pipefail
want=(cmake g++ make libgtest-dev libbenchmark-dev libboost-dev)
for m in "$@"; do
  case "$m" in
    cross) want+=(g++-powerpc-linux-gnu qemu-user) ;;
    fuzz) want+=(clang libclang-rt-14-dev) ;;
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
