#!/usr/bin/env bash
# Runs the benchmarks built in BUILD_DIR (default build-bench) and ends with their summary table.
#   scripts/bench.sh [BUILD_DIR] [benchmark flags...]
# Full results go to BUILD_DIR/bench.json and the console output to BUILD_DIR/bench.txt. Exits
# non-zero only when a benchmark could not run; a missed goal shows as NO in the table.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${1:-build-bench}
shift || true
case $BUILD_DIR in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac
BENCH=$BUILD_DIR/bin/orvex_bench

if [[ ! -x $BENCH ]]; then
    echo "bench.sh: $BENCH not found; build with 'make bench'" >&2
    exit 1
fi

machine() {
    local cpu
    cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
    echo "Machine: $(nproc) CPUs, ${cpu:-unknown CPU}, Linux $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"
}

machine
# The colour codes are for terminals only; the text copy stays plain.
"$BENCH" --benchmark_out="$BUILD_DIR/bench.json" --benchmark_out_format=json \
    --benchmark_color=false "$@" | tee "$BUILD_DIR/bench.txt"
status=${PIPESTATUS[0]}
if [[ $status -ne 0 ]]; then
    echo "bench.sh: a benchmark failed to run (exit $status)" >&2
    exit "$status"
fi
machine
