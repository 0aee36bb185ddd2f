#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs what is missing, builds with warnings as errors, runs every test,
# runs them again under AddressSanitizer and UBSan, then runs each fuzz target
# briefly. Ends with one line that sums up all stages.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
summary=$(mktemp)
failed_names=$(mktemp)
trap 'rm -f "$summary" "$failed_names"' EXIT
failures=0

# Runs ctest in a build directory and keeps its counts for the final line.
run_ctest() {
  local dir=$1; shift
  local log status=0
  log=$(mktemp)
  (cd "$dir" && ctest --output-on-failure --timeout 900 "$@") 2>&1 | tee "$log" || status=$?
  grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" >>"$summary" || true
  # The names of failed tests are repeated at the end, where a short tail of
  # the output still shows them.
  sed -n '/The following tests FAILED:/,/^Errors while running/p' "$log" |
    grep -E '^[[:space:]]+[0-9]+ - ' | sed "s|^|$dir: |" >>"$failed_names" || true
  rm -f "$log"
  # A failing stage is counted; the later stages still run.
  [ "$status" -eq 0 ] || failures=$((failures + 1))
}

echo "== licence lines"
if ! bash scripts/check-spdx.sh; then failures=$((failures + 1)); fi

echo "== include arrows"
if ! python3 scripts/check-includes.py; then failures=$((failures + 1)); fi

echo "== plain build"
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug "${launcher[@]}" >/dev/null
cmake --build build/test -j "$jobs"
run_ctest build/test -j "$jobs" -LE fuzz

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DKESTREL_SANITIZE=ON "${launcher[@]}" >/dev/null
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build/sanitize -j "$jobs" -LE fuzz

echo "== fuzz targets (clang + libFuzzer, briefly)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DKESTREL_FUZZ=ON -DKESTREL_BUILD_GUI=OFF \
  -DKESTREL_FUZZ_SECONDS="${KESTREL_FUZZ_SECONDS:-15}" "${launcher[@]}" >/dev/null
cmake --build build/fuzz -j "$jobs" --target fuzz_targets
run_ctest build/fuzz -L fuzz

[ -s "$failed_names" ] && { echo "Failed:"; cat "$failed_names"; }
awk '{ total += $NF; failed += $(NF-5) } END { printf "%d passed, %d failed\n", total - failed, failed }' "$summary"
[ "$failures" -eq 0 ]
