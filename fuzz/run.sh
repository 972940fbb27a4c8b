#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs each for SECONDS (default 60), one after the other, starting from the seeds in
# fuzz/corpus/<target>/ (left unchanged; new inputs go to a scratch corpus). Prints executions and
# coverage per target. Fails when any target crashes, leaks, hangs, breaks an invariant or has a
# sanitizer report; the input that did it is kept under <build>/fuzz-crashes/.
#
#   fuzz/run.sh [SECONDS]            MIVREL_FUZZ_BUILD=dir chooses the build directory
#   <build>/fuzz/fuzz_<target> FILE  replays one input
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MIVREL_FUZZ_BUILD:-$root/build-fuzz}
targets=(message config pipeline command)

declare -A max_len=([message]=4096 [config]=4096 [pipeline]=8192 [command]=4096)

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DMIVREL_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}" >/dev/null

crashes="$build/fuzz-crashes"
mkdir -p "$crashes"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=1
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-}:print_stacktrace=1:halt_on_error=1

status=0
summary=()
for target in "${targets[@]}"; do
  mkdir -p "$work/$target"
  log="$work/$target.log"
  rc=0
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -max_len="${max_len[$target]}" -dict="$root/fuzz/dict/$target.dict" \
    -artifact_prefix="$crashes/$target-" "$work/$target" "$root/fuzz/corpus/$target" \
    >"$log" 2>&1 || rc=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  done_line=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -1 || true)
  coverage=$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\) corp: \([0-9]*\)\/.*/\1 edges, \2 features, \3 inputs/p' <<<"$done_line")
  reports=$(grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|invariant broken' "$log" || true)
  if [ "$rc" -ne 0 ] || [ "$reports" -ne 0 ]; then
    status=1
    echo "== fuzz_$target FAILED (exit $rc); end of its log:"
    tail -n 60 "$log"
    ls "$crashes"/"$target"-* 2>/dev/null | sed 's/^/   kept input: /' || true
  fi
  summary+=("$(printf '%-9s %10s executions in %ss, coverage: %s' "$target" "${executions:-?}" \
    "$seconds" "${coverage:-?}")")
done

echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
exit $status
