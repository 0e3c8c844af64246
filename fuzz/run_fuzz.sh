#!/usr/bin/env bash
# Fuzzes whole store files through RecordTable (the fuzz_store_open target).
#
#   bash fuzz/run_fuzz.sh BUILD_DIR SECONDS
#
# BUILD_DIR is a Clang build folder holding fuzz_store_open and fuzz_seed_corpus (see
# fuzz/CMakeLists.txt; `make fuzz` builds them and calls this). The run:
#   - writes fresh starting inputs with fuzz_seed_corpus into BUILD_DIR/fuzz-seeds,
#   - keeps the inputs libFuzzer finds worth keeping in BUILD_DIR/fuzz-corpus, which
#     grows from run to run,
#   - puts crashing, leaking or slow inputs into BUILD_DIR/fuzz-findings,
#   - logs each worker to BUILD_DIR/fuzz-logs/worker-N.log,
#   - ends with one summary line: executions, executions per second and coverage.
# FUZZ_WORKERS (default 1) runs that many libFuzzer processes on the shared corpus;
# they run at low priority (nice 10), as the machine is shared.
# The exit status is 0 when no worker found anything, 1 otherwise.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR SECONDS" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
workers=${FUZZ_WORKERS:-1}

target=$build/fuzz/fuzz_store_open
seeder=$build/fuzz/fuzz_seed_corpus
for program in "$target" "$seeder"; do
    if [ ! -x "$program" ]; then
        echo "$0: $program is missing; build it with Clang first (see fuzz/CMakeLists.txt)" >&2
        exit 2
    fi
done

seeds=$build/fuzz-seeds
corpus=$build/fuzz-corpus
findings=$build/fuzz-findings
logs=$build/fuzz-logs
rm -rf "$seeds" "$logs"
mkdir -p "$seeds" "$corpus" "$findings" "$logs"
"$seeder" "$seeds"

pids=()
for ((i = 1; i <= workers; i++)); do
    nice -n 10 "$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=25 \
        -artifact_prefix="$findings/" "$corpus" "$seeds" >"$logs/worker-$i.log" 2>&1 &
    pids+=($!)
done

status=0
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
    # A worker that crashed could not remove its temporary folder.
    rm -rf /dev/shm/quorrel-fuzz-"$pid"-* 2>/dev/null || true
done

# Executions and their rate add up over the workers; coverage is shared through the
# corpus, so the highest figures of any worker stand for the run.
executions=0
rate=0
cov=0
ft=0
for log in "$logs"/worker-*.log; do
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    r=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    executions=$((executions + ${n:-0}))
    rate=$((rate + ${r:-0}))
    c=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    f=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    [ "${c:-0}" -gt "$cov" ] && cov=$c
    [ "${f:-0}" -gt "$ft" ] && ft=$f
done
inputs=$(find "$corpus" -type f | wc -l)
found=$(find "$findings" -type f | wc -l)

if [ "$status" -ne 0 ]; then
    echo "Findings (inputs in $findings):"
    grep -h -E '^==[0-9]+==ERROR|runtime error|^fuzz_store_open:|Test unit written|^SUMMARY' "$logs"/worker-*.log || true
fi
echo "fuzz_store_open: $executions executions in ${seconds}s by $workers worker(s), $rate exec/s, cov: $cov ft: $ft, corpus: $inputs inputs, findings folder: $found files"
exit "$status"
