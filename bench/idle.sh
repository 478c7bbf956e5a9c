#!/usr/bin/env bash
# Starts the real kivo headless (offscreen) with a project of 256 variables open, lets it run,
# and prints its CPU time, its share of one core, its peak resident memory, and the time from
# the start to the first filled grid.
#
#   bench/idle.sh [--seconds S] [--vars N] [--expert MS | --latency MS]
#
# --expert MS also runs expert-sim on the project, writing the tick every MS milliseconds, so
# that every refresh finds a changed file (the CPU figures stay those of kivo alone).
# --latency MS instead rewrites the file in place every MS milliseconds from this script, one
# new tick value each time, records when each write ended, and prints how long the grid took to
# show each value: p50, p95 and the longest.
# The executable is build-bench/src/kivo (./bench.sh's Release build); KIVO_EXE names another,
# and expert-sim is taken from the same build tree (KIVO_SIM names another).
# The time to the first filled grid comes from the main window's opt-in measurement hook:
# with KIVO_TRACE_FIRST_FILL=1 it prints "first-fill-epoch-ms=<ms>" to stderr once. The latency
# comes from a second one: with KIVO_TRACE_CELLS=1 it prints "cell epoch-us=<us> row=<r>
# col=<c> text=<text>" for each cell whose text a refresh changed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

seconds=60
vars=256
expert_ms=
latency_ms=
usage="usage: bench/idle.sh [--seconds S] [--vars N] [--expert MS | --latency MS]"
while [ $# -gt 0 ]; do
    case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --vars) vars=$2; shift 2 ;;
    --expert) expert_ms=$2; shift 2 ;;
    --latency) latency_ms=$2; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
    esac
done
if [ -n "$expert_ms" ] && [ -n "$latency_ms" ]; then
    echo "$usage" >&2
    exit 2
fi

exe=${KIVO_EXE:-$root/build-bench/src/kivo}
build=$(cd "$(dirname "$exe")/.." && pwd)
sim=${KIVO_SIM:-$build/tools/expert-sim/expert-sim}
if [ -z "${KIVO_EXE:-}" ]; then
    source "$root/scripts/setup.sh"
    kivo_install "${kivo_packages[@]}" libbenchmark-dev
    cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DKIVO_BENCH=ON \
        -DKIVO_TESTS=OFF >/dev/null
    cmake --build "$root/build-bench" -j2 --target kivo expert-sim >/dev/null
elif [ ! -x "$sim" ]; then
    cmake --build "$build" -j2 --target expert-sim >/dev/null
fi

dir=$(mktemp -d)
kivo_pid=
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    [ -n "$kivo_pid" ] && kill "$kivo_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT

# The settings file lives beside the executable, which finds its own folder through its real
# path: a copy, not a link.
cp "$exe" "$dir/kivo"
project=$dir/project.kvo
"$sim" publish "$project" "$vars" --bulk >/dev/null
printf '[Kivo]\r\nMTPath=\r\nProject=%s\r\n' "$project" >"$dir/kivo.ini"

clk_tck=$(getconf CLK_TCK)
now_ms() { date +%s%3N; }
# utime + stime of the whole process, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# CPU time of all threads in nanoseconds: a finer cross-check of the ticks, which count 10 ms.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { print s }'; }

# Rewrites the project in place every $1 ms until $2 (ms since the epoch) with the next value
# of the tick, Var1_Value, and logs "<value> <epoch-us>" as each write has ended.
write_ticks() {
    local text head tail value=0
    IFS= read -r -d '' text <"$project" || true
    head=${text%%Var1_Value=*}
    tail=${text#*Var1_Value=}
    tail=${tail#*$'\r\n'}
    while [ "$(now_ms)" -lt "$2" ]; do
        value=$((value + 1))
        printf '%s' "${head}Var1_Value=${value}"$'\r\n'"${tail}" >"$project"
        echo "$value ${EPOCHREALTIME//[!0-9]/}" >>"$dir/writes"
        sleep "$(awk -v ms="$1" 'BEGIN { print ms / 1000 }')"
    done
}

start_ms=$(now_ms)
: >"$dir/stderr" # there before kivo's own redirection, which a busy machine may delay
KIVO_TRACE_FIRST_FILL=1 KIVO_TRACE_CELLS=$([ -n "$latency_ms" ] && echo 1 || echo 0) \
    QT_QPA_PLATFORM=offscreen "$dir/kivo" 2>"$dir/stderr" &
kivo_pid=$!

# Wait for the first filled grid (10 s at most).
fill_ms=
for _ in $(seq 1000); do
    fill_ms=$(sed -n 's/^first-fill-epoch-ms=\([0-9]*\).*/\1/p' "$dir/stderr")
    [ -n "$fill_ms" ] && break
    kill -0 "$kivo_pid" 2>/dev/null || break
    sleep 0.01
done
if [ -z "$fill_ms" ]; then
    echo "idle.sh: kivo did not fill its grid; its stderr:" >&2
    cat "$dir/stderr" >&2
    exit 1
fi

if [ -n "$expert_ms" ]; then
    # It stops on its own about when the measurement ends, and prints what it did.
    "$sim" run "$project" --seconds "$((seconds > 2 ? seconds - 1 : 1))" --interval-ms "$expert_ms" \
        >"$dir/sim.out" 2>&1 &
    sim_pid=$!
elif [ -n "$latency_ms" ]; then
    write_ticks "$latency_ms" "$((start_ms + 1000 * seconds - 1000))" &
    sim_pid=$!
fi

# Startup is over after a few seconds; the idle share is measured from there to the end.
settle=5
sleep "$(awk -v s="$settle" -v t="$start_ms" -v n="$(now_ms)" 'BEGIN { d = s - (n - t) / 1000; print (d > 0 ? d : 0) }')"
settle_wall_ms=$(now_ms)
settle_ticks=$(cpu_ticks "$kivo_pid")
settle_ns=$(cpu_ns "$kivo_pid")
sleep "$(awk -v s="$seconds" -v t="$start_ms" -v n="$(now_ms)" 'BEGIN { d = s - (n - t) / 1000; print (d > 0 ? d : 0) }')"
end_wall_ms=$(now_ms)
end_ticks=$(cpu_ticks "$kivo_pid")
end_ns=$(cpu_ns "$kivo_pid")
hwm_kb=$(awk '/^VmHWM:/ { print $2 }' "/proc/$kivo_pid/status")
kill -0 "$kivo_pid" 2>/dev/null || { echo "idle.sh: kivo ended early" >&2; exit 1; }

awk -v vars="$vars" -v tck="$clk_tck" -v st="$start_ms" -v fill="$fill_ms" \
    -v sw="$settle_wall_ms" -v ew="$end_wall_ms" -v s0="$settle_ticks" -v s1="$end_ticks" \
    -v n0="$settle_ns" -v n1="$end_ns" -v hwm="$hwm_kb" -v expert="$expert_ms" \
    -v latency="$latency_ms" 'BEGIN {
    wall = (ew - st) / 1000
    idle_wall = (ew - sw) / 1000
    writer = expert != "" ? ", expert-sim writing every " expert " ms" : ""
    if (latency != "")
        writer = ", the tick rewritten every " latency " ms"
    printf "kivo, offscreen, %d variables open%s, %.1f s\n", vars, writer, wall
    printf "  start to first filled grid   %d ms\n", fill - st
    printf "  CPU time, whole run          %.2f s (utime+stime)\n", s1 / tck
    printf "  CPU share of one core        %.3f %% (from %.0f s to the end: %.2f s of CPU in %.1f s)\n",
        100 * (s1 - s0) / tck / idle_wall, (sw - st) / 1000, (s1 - s0) / tck, idle_wall
    printf "                               %.3f %% (the same from the threads'"'"' ns counters)\n",
        100 * (n1 - n0) / 1e9 / idle_wall
    printf "  peak resident memory         %.1f MB (VmHWM %d kB)\n", hwm / 1024, hwm
}'
if [ -n "$expert_ms" ]; then
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
    echo "  expert-sim: $(grep -E '^(writes|ticks|failed_writes)=' "$dir/sim.out" | tr '\n' ' ')"
fi
if [ -n "$latency_ms" ]; then
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
    # Each value's write matched with the first time the grid showed it; values that a later
    # write replaced before a refresh never show.
    awk 'NR == FNR { wrote[$1] = $2; writes++; next }
         /^cell / && / row=1 col=3 / {
             split($2, t, "="); sub(/^text=/, "", $5)
             if (($5 in wrote) && !($5 in shown)) {
                 shown[$5] = 1
                 ms = (t[2] - wrote[$5]) / 1000
                 print ms
             }
         }
         END { print writes > "/dev/stderr" }' "$dir/writes" "$dir/stderr" 2>"$dir/writes.count" |
        sort -n >"$dir/latency"
    awk -v writes="$(cat "$dir/writes.count")" '{ ms[NR] = $1 }
        END {
            if (NR == 0) { print "  write to grid                no value shown"; exit 1 }
            p50 = ms[int((NR - 1) * 0.50) + 1]; p95 = ms[int((NR - 1) * 0.95) + 1]
            printf "  write to grid                p50 %.1f ms, p95 %.1f ms, longest %.1f ms (%d of %d writes shown)\n",
                p50, p95, ms[NR], NR, writes
        }' "$dir/latency"
fi
