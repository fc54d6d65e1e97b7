#!/usr/bin/env bash
# The long fuzzing run: each fuzzer for RUNS executions (default ten million;
# fuzz_sample_blocks, which expands every input to up to two blocks of a
# sample file, for SECONDS instead, default 600), one after the other, from
# the seed corpora, keeping what they find in BUILD/fuzz/bench-<name>.
# Prints, per fuzzer, the executions, the time and libFuzzer's final line.
# usage: fuzz/run_fuzzers.sh [BUILD (build-fuzz)] [RUNS] [SECONDS] [FUZZER...]
# (all five when no FUZZER is named)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-fuzz}
runs=${2:-10000000}
seconds=${3:-600}
shift $(($# < 3 ? $# : 3))
only=" $* "
dir=$build/fuzz
status=0
run() {
  local name=$1; shift
  [[ "$only" == "  " || "$only" == *" $name "* ]] || return 0
  local work=$dir/bench-$name
  mkdir -p "$work/corpus" "$work/artifacts"
  cp -n "$root/fuzz/corpus/"*/* "$work/corpus/" 2>/dev/null || true
  local start=$SECONDS
  if "$dir/$name" -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$@" "$work/corpus" \
      > "$work/fuzz.log" 2>&1; then
    result=ok
  else
    result="FAILED (see $work/fuzz.log and $work/artifacts)"
    status=1
  fi
  local execs
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz.log")
  printf '%-20s %12s executions in %5d s: %s\n' "$name" "$execs" $((SECONDS - start)) "$result"
  grep -E "^#[0-9]+[[:space:]]+DONE" "$work/fuzz.log" | tail -1 || true
}
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run fuzz_bookkeeping -runs="$runs" -max_len=4096
run fuzz_metadata -runs="$runs" -max_len=8192 -dict="$root/fuzz/metadata.dict"
run fuzz_acquisition -runs="$runs" -max_len=16384
run fuzz_sample_file -runs="$runs" -max_len=45000
run fuzz_sample_blocks -max_total_time="$seconds" -max_len=4096
exit $status
