#!/usr/bin/env bash
# Regenerates docs/screenshot.png: the real kivo under Xvfb, with a project of the stand-in
# expert open, photographed once the grid has been filled.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
kivo_install "${kivo_packages[@]}" xvfb xauth imagemagick fonts-dejavu-core

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kivo expert-sim

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The settings file lives beside the executable, so the program runs from a copy.
cp build/src/kivo "$work/kivo"
mkdir -p "$work/term/experts/files"
project="$work/term/experts/files/demo.kvo"
build/tools/expert-sim/expert-sim publish "$project" 12 --bulk >/dev/null
printf '[Kivo]\r\nMTPath=%s\r\nProject=%s\r\n' "$work/term" "$project" >"$work/kivo.ini"

# Some variables marked as changed, so the picture shows every status word.
sed -i 's/^Var3_Status=0/Var3_Status=1/; s/^Var7_Status=0/Var7_Status=1/' "$project"

xvfb-run -a -s "-screen 0 760x460x24" bash -c "
    \"$work/kivo\" &
    pid=\$!
    sleep 3
    import -window root -crop 760x460+0+0 docs/screenshot.png
    kill \$pid
"
echo "docs/screenshot.png written"
