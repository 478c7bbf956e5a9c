#!/usr/bin/env bash
# Regenerates docs/screenshot-windows.png: kivo.exe under Wine on an Xvfb display, with a
# project of the stand-in expert open. Needs the Windows build (./windows.sh) first.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
kivo_install xvfb xauth imagemagick wine wine64
[ -f build-windows/kivo.exe ] || { echo "Run ./windows.sh first" >&2; exit 1; }

export WINEPREFIX="${XDG_CACHE_HOME:-$HOME/.cache}/kivo/wine" WINEDEBUG=-all
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The settings file lives beside the executable, so the program runs from a copy.
cp build-windows/kivo.exe build-windows/expert-sim.exe "$work/"
mkdir -p "$work/term/experts/files"
win() { echo "Z:${1//\//\\}"; }
project="$work/term/experts/files/demo.kvo"
wine "$work/expert-sim.exe" publish "$(win "$project")" 12 --bulk >/dev/null
printf '[Kivo]\r\nMTPath=%s\r\nProject=%s\r\n' "$(win "$work/term")" "$(win "$project")" \
    >"$work/kivo.ini"
# Some variables marked as changed, so the picture shows every status word.
sed -i 's/^Var3_Status=0/Var3_Status=1/; s/^Var7_Status=0/Var7_Status=1/' "$project"

wineserver -k 2>/dev/null || true
xvfb-run -a -s "-screen 0 1280x800x24" bash -c "
    wine \"$work/kivo.exe\" &
    sleep 8
    import -window root \"$work/root.png\"
    wineserver -k
"
# The window and a margin of Wine's desktop around it.
convert "$work/root.png" -fuzz 2% -trim +repage -bordercolor '#226e93' -border 12 \
    docs/screenshot-windows.png
echo "docs/screenshot-windows.png written"
