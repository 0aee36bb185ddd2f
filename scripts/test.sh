#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, runs every test,
# then builds and runs them again under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug "${launcher[@]}" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 900)
}

echo "== plain build"
run_suite build/test
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build/sanitize -DKESTREL_SANITIZE=ON
echo "== fuzz targets (clang + libFuzzer, briefly)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DKESTREL_FUZZ=ON -DKESTREL_BUILD_GUI=OFF \
  -DKESTREL_FUZZ_SECONDS="${KESTREL_FUZZ_SECONDS:-15}" "${launcher[@]}" >/dev/null
cmake --build build/fuzz -j "$jobs" --target fuzz_targets
(cd build/fuzz && ctest --output-on-failure -L fuzz)
