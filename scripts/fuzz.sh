#!/usr/bin/env bash
# Builds every libFuzzer target (clang, ASan + UBSan) in its own build folder
# and runs each for FUZZ_SECONDS seconds from its committed seed corpus (and
# the AWS response samples where they fit). Fails on any crash, leak,
# timeout or sanitizer report; prints the executions made per target.
#
# FUZZ_RUNS=N runs each target for N executions instead (the long runs);
# FUZZ_TARGETS="xml_answers ipv4" picks targets by name.
#
#   scripts/fuzz.sh [build-dir]        FUZZ_SECONDS=60 JOBS=2
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build-fuzz}"
SECONDS_EACH="${FUZZ_SECONDS:-60}"
RUNS="${FUZZ_RUNS:-}"
TARGETS="${FUZZ_TARGETS:-}"
JOBS="${JOBS:-2}"
FIXTURES=tests/fixtures/aws

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
if [ ! -f "$BUILD/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DQVN_FUZZ=ON -DQVN_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
fi
cmake --build "$BUILD" --target fuzzers -j "$JOBS" || exit 1

seeds_for() {
  case "$1" in
    xml_answers|json_answers) echo "$FIXTURES/responses" ;;
    sigv4) echo "$FIXTURES/sigv4-suite" ;;
    *) ;;
  esac
}

failed=0
mkdir -p "$BUILD/artifacts"
for bin in "$BUILD"/tests/fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  name="$(basename "$bin")"
  target="${name#fuzz_}"
  if [ -n "$TARGETS" ] && [[ " $TARGETS " != *" $target "* ]]; then continue; fi
  if [ -n "$RUNS" ]; then budget="-runs=$RUNS"; else budget="-max_total_time=$SECONDS_EACH"; fi
  work="$BUILD/corpus/$target"
  mkdir -p "$work"
  log="$BUILD/$name.log"
  started=$(date +%s)
  # shellcheck disable=SC2046
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$bin" "$budget" -timeout=20 -rss_limit_mb=2048 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$name-" \
    "$work" "tests/fuzz/corpus/$target" $(seeds_for "$target") >"$log" 2>&1
  rc=$?
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  if [ "$rc" -ne 0 ]; then
    failed=1
    echo "fuzz: $name FAILED (exit $rc) after ${execs:-?} executions; artifacts in $BUILD/artifacts" >&2
    grep -E 'ERROR:|SUMMARY:|runtime error|fuzz invariant|Test unit written' "$log" | head -20 >&2
  else
    echo "fuzz: $name: ${execs:-?} executions in $(( $(date +%s) - started ))s"
  fi
done
exit "$failed"
