#!/bin/bash
# Runs one libFuzzer target for FUZZ_SECONDS (default 30) from read-only seed directories. New inputs,
# the log and any crash input go to a scratch directory, so the repository is never written.
# Usage: run_fuzzer.sh FUZZER DICT SCRATCH_DIR SEED_DIR...
set -u
fuzzer=$1 dict=$2 scratch=$3
shift 3
seconds=${FUZZ_SECONDS:-30}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "FUZZ_SECONDS must be a positive whole number, not '$seconds'" >&2
  exit 2
fi
rm -rf "$scratch"
mkdir -p "$scratch/corpus"
log=$scratch/fuzz.log
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 -dict="$dict" \
  -print_final_stats=1 -artifact_prefix="$scratch/" "$scratch/corpus" "$@" >"$log" 2>&1
status=$?
runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
echo "$(basename "$fuzzer"): ${runs:-?} executions in ${seconds} s, $(ls "$scratch/corpus" | wc -l) new inputs, status $status"
if [ $status -ne 0 ]; then
  tail -n 80 "$log"
  ls "$scratch"/crash-* "$scratch"/leak-* "$scratch"/timeout-* "$scratch"/oom-* 2>/dev/null
fi
exit $status
