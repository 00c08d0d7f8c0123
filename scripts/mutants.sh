#!/usr/bin/env bash
# Seeded-bug run (not in CI): how many of the bugs in scripts/mutants/ the
# native test suite catches.
#
#   scripts/mutants.sh                       every scripts/mutants/*.patch
#   scripts/mutants.sh 03-gather-without-window scripts/mutants/10-*.patch
#
# Each patch is a small bug in git diff format; its first line, a comment,
# says what the bug is. The script checks out HEAD in a scratch worktree of
# its own (under a temporary directory, removed at the end), builds it once
# unchanged and runs the suite there, then for each patch: apply, build
# (incrementally, one build directory for all), run the suite, revert. A
# mutant is killed when a test that passed unchanged fails, survived when
# none does, invalid when the patch does not apply or does not compile. The
# tests that killed a mutant are run once more on it: a kill they do not
# reproduce is marked "not reproduced" (still counted as killed).
#
# Environment:
#   JOBS                    build and ctest parallelism (2)
#   MUTANTS_TESTS           ctest regex instead of the whole native suite
#   MUTANTS_EXCLUDE         ctest regex of tests left out (e.g. '^card_soak$' for a quicker pass)
#   MUTANTS_TEST_TIMEOUT    seconds a single test may take (600)
#   MUTANTS_BASELINE=0      skip the unchanged run (no test is then excluded)
#   MUTANTS_LOG_DIR         keep the build and test logs there
#
# Prints one line per mutant and the kill rate. Exit status 0 unless the
# script itself fails (no worktree, the unchanged tree does not build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}
timeout=${MUTANTS_TEST_TIMEOUT:-600}

patches=()
if [ $# -eq 0 ]; then
  patches=("$root"/scripts/mutants/*.patch)
else
  for a in "$@"; do
    for p in "$a" "$root/$a" "$root/scripts/mutants/$a" "$root/scripts/mutants/$a.patch"; do
      if [ -f "$p" ]; then patches+=("$(cd "$(dirname "$p")" && pwd)/$(basename "$p")"); continue 2; fi
    done
    echo "mutants: no patch $a" >&2
    exit 2
  done
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ta-mutants.XXXXXX")
wt=$scratch/tree
build=$scratch/build
logs=${MUTANTS_LOG_DIR:-$scratch/logs}
mkdir -p "$logs"
cleanup() {
  git -C "$root" worktree remove --force "$wt" >/dev/null 2>&1 || true
  git -C "$root" worktree prune >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

git -C "$root" worktree add --detach -q "$wt" HEAD

ctest_args=(--timeout "$timeout" -j"$jobs")
[ -n "${MUTANTS_TESTS:-}" ] && ctest_args+=(-R "$MUTANTS_TESTS")
excluded=${MUTANTS_EXCLUDE:-}

build_tree() {  # log file
  cmake --build "$build" -j"$jobs" >"$1" 2>&1
}
run_suite() {  # log file, extra ctest args...
  local log=$1; shift
  local args=("${ctest_args[@]}")
  [ -n "$excluded" ] && args+=(-E "$excluded")
  (cd "$build" && ctest "${args[@]}" "$@") >"$log" 2>&1
}
failed_tests() {  # the tests the last ctest run failed, one a line
  local f=$build/Testing/Temporary/LastTestsFailed.log
  [ -f "$f" ] && sed 's/^[0-9]*://' "$f" || true
}
revert() {
  git -C "$wt" reset -q --hard HEAD
  git -C "$wt" clean -qfd
}

echo "mutants: building HEAD ($(git -C "$root" rev-parse --short HEAD)) in $wt"
cmake -S "$wt" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOPADAPTER_WERROR=OFF >"$logs/configure.log" 2>&1
if ! build_tree "$logs/baseline-build.log"; then
  echo "mutants: the unchanged tree does not build (log: $logs/baseline-build.log)" >&2
  exit 1
fi

# Tests that fail unchanged say nothing about a mutant.
if [ "${MUTANTS_BASELINE:-1}" != 0 ]; then
  if ! run_suite "$logs/baseline-test.log"; then
    mapfile -t broken < <(failed_tests)
    if [ ${#broken[@]} -gt 0 ]; then
      echo "mutants: failing unchanged, left out: ${broken[*]}"
      alternatives=$(printf '%s\n' "${broken[@]}" | sed 's/[]*.[+?(){}^$|\\]/\\&/g' | paste -sd'|')
      excluded="${excluded:+$excluded|}^($alternatives)\$"
    fi
  fi
fi

killed=0 survived=0 invalid=0 unconfirmed=0
results=()
for patch in "${patches[@]}"; do
  name=$(basename "$patch" .patch)
  what=$(sed -n '1s/^# *//p' "$patch")
  revert
  if ! git -C "$wt" apply "$patch" 2>"$logs/$name-apply.log"; then
    line="$name  invalid (does not apply)"
    invalid=$((invalid + 1))
  elif ! build_tree "$logs/$name-build.log"; then
    line="$name  invalid (does not compile)"
    invalid=$((invalid + 1))
  elif run_suite "$logs/$name-test.log"; then
    line="$name  survived"
    survived=$((survived + 1))
  else
    mapfile -t by < <(failed_tests)
    note=""
    if [ ${#by[@]} -gt 0 ] && run_suite "$logs/$name-rerun.log" --rerun-failed; then
      note=" (not reproduced on a rerun)"
      unconfirmed=$((unconfirmed + 1))
    fi
    line="$name  killed by ${by[*]:-?}$note"
    killed=$((killed + 1))
  fi
  echo "$line"
  echo "    $what"
  results+=("$line")
done
revert

total=$((killed + survived))
echo
echo "mutants: ${#patches[@]} run, $killed killed, $survived survived, $invalid invalid"
if [ $total -gt 0 ]; then
  extra=""
  [ $unconfirmed -gt 0 ] && extra=", $unconfirmed of the kills not reproduced on a rerun"
  echo "kill rate: $killed/$total ($((100 * killed / total))%)$extra"
fi
[ -n "${MUTANTS_LOG_DIR:-}" ] && echo "logs: $logs"
exit 0
