#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for SECONDS (default 60),
# starting from the sample files in tests/data/. Crashing inputs land in build-fuzz/artifacts/,
# one folder per target and run.
#   ./fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh

seconds=${1:-60}
kivo_install "${kivo_packages[@]}" clang-14 libclang-rt-14-dev

dir=build-fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKIVO_FUZZ=ON -DKIVO_TESTS=OFF >/dev/null
cmake --build "$dir" -j2 --target fuzz_inifile fuzz_project fuzz_presets

export QT_QPA_PLATFORM=offscreen
# Every input is written and committed once or twice; on a RAM disk that costs no disk syncs.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"

failed=0
stamp=$(date +%Y%m%d-%H%M%S)
for target in fuzz_inifile fuzz_project fuzz_presets; do
    # The corpus grows while fuzzing: work on a copy so that tests/data/ keeps only its samples.
    corpus=$dir/corpus/$target
    artifacts=$dir/artifacts/$target-$stamp
    mkdir -p "$corpus" "$artifacts"
    cp tests/data/* "$corpus"/ 2>/dev/null || true
    log=$dir/$target.log
    echo "== $target: $seconds s"
    status=0
    "$dir/fuzz/$target" "$corpus" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
        -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        >"$log" 2>&1 || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
    crashes=$(find "$artifacts" -type f | wc -l)
    echo "   executions: ${execs:-?}, exit status: $status, crash/timeout inputs: $crashes"
    if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ]; then
        failed=1
        grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error|fuzz_[a-z]+: broken|artifact_prefix|Test unit written)' \
            "$log" | head -n 20 || true
        find "$artifacts" -type f -printf '   %p\n'
    fi
done
exit "$failed"
