#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs every fuzz target for a longer time (default 600 seconds each).
# Usage: scripts/fuzz.sh [seconds] [target-name-pattern]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
pattern=${2:-.}
bash scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DKESTREL_FUZZ=ON -DKESTREL_BUILD_GUI=OFF \
  -DKESTREL_FUZZ_SECONDS="$seconds" >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target fuzz_targets
(cd build/fuzz && ctest --output-on-failure -L fuzz -R "$pattern" --timeout $((seconds + 120)))
