#!/usr/bin/env bash
# Builds and runs the tests.
#   scripts/test.sh            native build, whole suite (twice: the second time west of UTC)
#   scripts/test.sh all        native, ASan+UBSan, TSan, emulated 32-bit big-endian, mixed node, fuzz replay
#   scripts/test.sh native|asan|tsan|ppc|mixed|fuzz   one of them
# mixed: card scenarios on a node of both byte orders, the native card tests
# against the big-endian build's task, then its model and membership service,
# then its operator tools (MIXED_TESTS: a ctest regex instead of the CI set).
# native, asan, tsan: the scenarios of several processes (ctest label "chaos":
# the card, the operator tool, the task's process, the soak) run with schedule
# chaos on, TOPADAPTER_CHAOS=SEED:RATE, a fresh seed each run, printed;
# CHAOS_SEED=N replays one, CHAOS_RATE sets the rate (0.02).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-2}
modes=("${@:-native}")
[ "${modes[0]}" = all ] && modes=(native asan tsan ppc mixed fuzz)

need=()
for m in "${modes[@]}"; do case "$m" in native) need+=(checks) ;; ppc|mixed) need+=(cross) ;; fuzz) need+=(fuzz) ;; esac; done
"$root/scripts/deps.sh" "${need[@]}"

werror=OFF
[ -n "${CI:-}" ] && werror=ON

run_ctest() {  # dir, extra ctest args...
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j"$jobs" "$@")
}
chaos_seed=${CHAOS_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}
chaos="$chaos_seed:${CHAOS_RATE:-0.02}"
run_suite() {  # dir, mode: the suite, then its scenarios of several processes under schedule chaos
  run_ctest "$1" -LE chaos
  echo "schedule chaos: TOPADAPTER_CHAOS=$chaos (to replay: CHAOS_SEED=$chaos_seed scripts/test.sh $2)"
  TOPADAPTER_CHAOS=$chaos run_ctest "$1" -L chaos
}
configure_native() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOPADAPTER_WERROR=$werror >/dev/null
}
configure_ppc() {
  cmake -S . -B build-ppc -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-powerpc.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOPADAPTER_BENCH=OFF -DTOPADAPTER_WERROR=$werror >/dev/null
}
# Adoption, configuration, alarms, a performance trigger; then the generated
# clients and servers in every signature shape; an operator's session and
# the chip's control tool.
mixed_card='^(Card\.(FlowsOfTheOwnUnitAreAdoptedAndDeletedFlowsLetGo|AdministrativeStateAndFlowValuesDriveTheChip|AlarmsRaiseAndCancelAfterTheirDelays)|PerfCard\.TriggerCommandsAreAnsweredOnThePerformanceService)$'
mixed_tests=${MIXED_TESTS:-}

for m in "${modes[@]}"; do
  echo "=== $m ==="
  case "$m" in
    native)
      configure_native
      cmake --build build -j"$jobs"
      run_suite build native
      # Once more west of UTC: times are printed in local time with their offset (the soak's minute once is enough).
      TZ=America/New_York run_ctest build -E '^card_soak'
      ;;
    asan)
      cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTOPADAPTER_SANITIZE=address -DTOPADAPTER_BENCH=OFF \
        -DTOPADAPTER_WERROR=$werror >/dev/null
      cmake --build build-asan -j"$jobs"
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_suite build-asan asan
      ;;
    tsan)
      cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOPADAPTER_SANITIZE=thread -DTOPADAPTER_BENCH=OFF \
        -DTOPADAPTER_WERROR=$werror >/dev/null
      cmake --build build-tsan -j"$jobs"
      TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_suite build-tsan tsan
      ;;
    ppc)
      configure_ppc
      cmake --build build-ppc -j"$jobs"
      run_ctest build-ppc
      ;;
    mixed)
      # Only what a mixed node needs; after native and ppc nothing is left to build.
      configure_native
      cmake --build build -j"$jobs" --target card_test model_actor_test topctl_test topdrv_control_test topAdapter topmodel topnoded topctl
      configure_ppc
      cmake --build build-ppc -j"$jobs" --target topAdapter topmodel topnoded topctl topchip
      emulated=$root/build-ppc/bin-emulated
      TOPADAPTER_TASK_BIN_DIR=$emulated run_ctest build --no-tests=error -R "${mixed_tests:-$mixed_card}"
      TOPADAPTER_CARD_BIN_DIR=$emulated run_ctest build --no-tests=error -R "${mixed_tests:-$mixed_card|^ModelActor\.}"
      TOPADAPTER_TOOL_BIN_DIR=$emulated run_ctest build --no-tests=error \
        -R "${mixed_tests:-^(Topctl\.OperatorSessionOnACard|ChipControlChannel\..*)$}"
      ;;
    fuzz)
      cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTOPADAPTER_FUZZ=ON -DTOPADAPTER_TESTS=OFF -DTOPADAPTER_BENCH=OFF >/dev/null
      # Only the fuzz targets: the rest of the tree is built and tested by the other modes.
      targets=$(cd build-fuzz && cmake --build . --target help | sed -n 's/^\.\.\. \(fuzz_[a-z_]*\).*/\1/p')
      cmake --build build-fuzz -j"$jobs" --target $targets
      for f in build-fuzz/fuzz/*/fuzz_*; do
        [ -x "$f" ] || continue
        name=$(basename "$f")
        corpus="fuzz/${name#fuzz_}/corpus"
        work=$(mktemp -d)
        secs=${FUZZ_SECONDS:-60}
        echo "fuzzing $name for ${secs}s"
        # A single allocation over 64 MiB is the fault we hunt (a hostile count or length); the
        # rss limit leaves room for ASan's quarantine. The outer timeout bounds a fuzzer that
        # hangs while reporting.
        ASAN_OPTIONS=quarantine_size_mb=64:malloc_context_size=10 \
          timeout -k 10 $((secs + 120)) "$f" -max_total_time="$secs" -rss_limit_mb=1536 -malloc_limit_mb=64 \
          "$work" "$corpus"
        rm -rf "$work"
      done
      ;;
    *) echo "unknown mode $m" >&2; exit 2 ;;
  esac
done
