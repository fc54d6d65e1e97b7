#!/usr/bin/env bash
# Runs one libFuzzer program for a while from a copy of its seed corpus.
# usage: fuzz/run_fuzzer.sh FUZZER WORKDIR SECONDS [SEEDS_DIR|""] [libFuzzer options...]
# Prints libFuzzer's last status line (executions, coverage) and ends with the
# fuzzer's status: non-zero after a crash or a sanitizer report, whose input
# is kept in WORKDIR/artifacts.
set -euo pipefail
fuzzer=$1 work=$2 seconds=$3 seeds=$4
shift 4
mkdir -p "$work/corpus" "$work/artifacts"
if [[ -n "$seeds" && -d "$seeds" ]]; then
  cp -n "$seeds"/* "$work/corpus/" 2>/dev/null || true
fi
log="$work/fuzz.log"
status=0
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
  "$@" "$work/corpus" > "$log" 2>&1 || status=$?
grep -E "^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units|^stat::peak_rss_mb" "$log" || true
if [[ $status -ne 0 ]]; then
  tail -60 "$log"
fi
exit $status
