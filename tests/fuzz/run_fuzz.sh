#!/usr/bin/env bash
# Seeds the corpus from the unit tests' table and fuzzes the tail cutter for
# a bounded time. Usage: run_fuzz.sh FUZZER SEED_WRITER WORK_DIR SECONDS
set -euo pipefail
fuzzer=$(realpath "$1") seed_writer=$(realpath "$2") work=$3 seconds=$4

mkdir -p "$work/seeds" "$work/corpus"
"$seed_writer" "$work/seeds"
cd "$work"
status=0
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 corpus seeds >fuzz.log 2>&1 || status=$?
grep -E "^#[0-9]+ +(INITED|DONE)|stat::number_of_executed_units|ERROR|SUMMARY|Test unit written" fuzz.log || true
[ "$status" -eq 0 ] || tail -40 fuzz.log
exit "$status"
