#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs one fuzz target for a number of seconds over its seeds, in a scratch
# corpus so that the source tree is not written to. A crash input is kept in
# the build directory and makes the test fail.
set -euo pipefail
target=$1 seeds=$2 seconds=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$(dirname "$target")/fuzz-crashes"
"$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$(dirname "$target")/fuzz-crashes/$(basename "$target")-" \
  "$work/corpus" "$seeds" 2>&1 | grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Done' || true
test "${PIPESTATUS[0]}" -eq 0
