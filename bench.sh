#!/usr/bin/env bash
# Builds the benchmarks in Release in build-bench/ and prints the table of medians, with the
# ratios against QSettings and a per-key scan. The build's output goes to build-bench/build.log,
# Google Benchmark's own report to build-bench/kivo_bench.log. The repetitions of all cases run
# interleaved in random order, so that a passing load on the machine falls on every case alike;
# still, take figures on a quiet machine (the table prints the load average). Extra arguments go
# to kivo_bench (e.g. --kivo_repetitions=15, --benchmark_filter=tick).
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh

kivo_install "${kivo_packages[@]}" libbenchmark-dev
mkdir -p build-bench
{
    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKIVO_BENCH=ON -DKIVO_TESTS=OFF &&
        cmake --build build-bench -j2 --target kivo_bench kivo expert-sim
} >build-bench/build.log 2>&1 || { cat build-bench/build.log >&2; exit 1; }
cd build-bench
./bench/kivo_bench --benchmark_enable_random_interleaving=true "$@" 2>kivo_bench.log || { cat kivo_bench.log >&2; exit 1; }
