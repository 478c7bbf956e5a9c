#!/usr/bin/env bash
# Builds Kivo in build/ (installing what is missing) and starts it.
#   ./run.sh          Kivo with your own settings
#   ./run.sh --demo   Kivo on a sample project that a simulated expert keeps changing: the
#                     expert counts its ticks once a second and takes every change you make.
#                     Everything lives in a temporary folder, removed when Kivo exits; your own
#                     settings are not touched.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh
demo=false
if [ "${1:-}" = "--demo" ]; then
    demo=true
elif [ $# -gt 0 ]; then
    echo "usage: ./run.sh [--demo]" >&2
    exit 2
fi
kivo_install "${kivo_packages[@]}"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! $demo; then
    cmake --build build -j"$(nproc)" --target kivo
    exec build/src/kivo
fi

cmake --build build -j"$(nproc)" --target kivo expert-sim
dir="$(mktemp -d "${TMPDIR:-/tmp}/kivo-demo.XXXXXX")"
sim=
cleanup() {
    if [ -n "$sim" ]; then
        kill "$sim" 2>/dev/null || true
        wait "$sim" 2>/dev/null || true
    fi
    rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# One variable of each type, in the expert's code page (windows-1252: \x80 is the euro sign,
# \xfc is u-umlaut), with CRLF line ends as the expert's profile functions write them.
tick="Ticks seen by the expert"
vars=(
    "$tick|2|0"
    "Trading enabled|0|1"
    "Order comment|1|Placed by the Kivo demo"
    "Max open positions|2|3"
    "Lot size|3|0.10"
    "Trade until|4|$(date +%x)"
    "Close all positions|5|"
    $'Gewinnziel in \x80 f\xfcr Gold|3|25.5'
)
{
    printf '[Kivo 1.0]\r\nVar_Cnt=%d\r\n' "${#vars[@]}"
    n=0
    for var in "${vars[@]}"; do
        n=$((n + 1))
        IFS='|' read -r title type value <<<"$var"
        printf 'Var%d_Title=%s\r\nVar%d_Type=%s\r\nVar%d_Status=0\r\nVar%d_Value=%s\r\n' \
            "$n" "$title" "$n" "$type" "$n" "$n" "$value"
    done
} >"$dir/demo.kvo"

# A copy of Kivo of its own, whose settings beside it name the project: it opens the project at
# start and writes nothing of yours.
cp build/src/kivo "$dir/kivo"
printf '[Kivo]\r\nProject=%s\r\n' "$dir/demo.kvo" >"$dir/kivo.ini"
build/tools/expert-sim/expert-sim run "$dir/demo.kvo" --seconds 86400 --interval-ms 1000 \
    --tick "$tick" >/dev/null &
sim=$!
echo "Demo project: $dir/demo.kvo (removed when Kivo exits)"
"$dir/kivo"
