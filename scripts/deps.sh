#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/deps.sh [native|cross|fuzz|checks]...
#   checks: what the tests check the package and topctl's output with:
#   systemd-analyze, a JSON Schema validator, and promtool and the Prometheus
#   server, taken alone out of Debian's prometheus package (installing that
#   package would start a server; the exporter test starts its own); the
#   zones the tests are run in once.
set -euo pipefail
want=(cmake g++ make libgtest-dev libbenchmark-dev libboost-dev libcpp-httplib-dev pkg-config)
prom=()
for m in "$@"; do
  case "$m" in
    cross) want+=(g++-powerpc-linux-gnu qemu-user) ;;
    fuzz) want+=(clang libclang-rt-14-dev) ;;
    checks)
      want+=(systemd python3-jsonschema tzdata)
      for tool in promtool prometheus; do command -v $tool >/dev/null || prom+=("$tool"); done ;;
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
if [ ${#prom[@]} -gt 0 ]; then
  echo "installing ${prom[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  scratch=$(mktemp -d)
  [ ${#missing[@]} -gt 0 ] || $SUDO apt-get update -qq
  if (cd "$scratch" && apt-get download -qq prometheus 2>/dev/null); then
    for tool in "${prom[@]}"; do
      (cd "$scratch" && dpkg-deb --fsys-tarfile prometheus_*.deb | tar -x "./usr/bin/$tool") &&
        $SUDO install -m 0755 "$scratch/usr/bin/$tool" "/usr/local/bin/$tool" ||
        echo "$tool not installed: the checks that need it will be skipped" >&2
    done
  else
    echo "prometheus not downloaded: the checks that need ${prom[*]} will be skipped" >&2
  fi
  rm -rf "$scratch"
fi
