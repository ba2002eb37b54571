#!/usr/bin/env bash
# Fuzzes the library's exchange code with libFuzzer for a while: builds tests/fuzz with clang in
# build-fuzz/ (ASan and UBSan on, coverage for the library's portable code), then runs the target
# on a copy of the seed corpus, so the checked-in corpus only changes when someone means it to.
#
#   scripts/fuzz.sh [SECONDS]        default 300
#
# Exit status 0 when no crash, time-out or leak was found. A crashing input is left in
# build-fuzz/artifacts/; replay it with build-fuzz/exchange_fuzz FILE.
# Needs clang and the libFuzzer runtime (Debian: clang, libclang-rt-dev).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-300}
if ! [[ $seconds =~ ^[0-9]+$ ]]; then
    echo "usage: $0 [SECONDS]" >&2
    exit 2
fi
build=build-fuzz
jobs=${JOBS:-2}

CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S tests/fuzz -B "$build" -DORVEX_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs" --target exchange_fuzz

corpus=$build/corpus
rm -rf "$corpus"
mkdir -p "$corpus" "$build/artifacts"
cp tests/fuzz/corpus/* "$corpus/"

# -timeout: one input runs on the virtual clock and takes milliseconds; seconds mean a hang.
# -rss_limit_mb: a runaway buffer shows as an out-of-memory report, not a swapping machine.
"$build/exchange_fuzz" "$corpus" \
    -max_total_time="$seconds" \
    -timeout=10 \
    -rss_limit_mb=2048 \
    -max_len=512 \
    -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/"
