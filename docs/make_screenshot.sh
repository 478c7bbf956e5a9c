#!/usr/bin/env bash
# Regenerates docs/screenshot.png: the real kivo under Xvfb, with a project of the stand-in
# expert open, photographed once the grid has been filled. Then, with a project of long names,
# docs/screenshot-tooltip.png (the pointer over a cut-off title) and docs/screenshot-dialog.png
# (the change dialog of a date variable whose name takes two lines), driven by xdotool, and
# docs/screenshot-history.png (the history window beside the main window), and for changing
# several variables at once docs/screenshot-pending.png (the list of pending changes beside the
# grid) and docs/screenshot-limit.png (the question a value past a limit asks).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
kivo_install "${kivo_packages[@]}" xvfb xauth imagemagick fonts-dejavu-core xdotool

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

long="$work/term/experts/files/long.kvo"
var() { printf 'Var%d_Title=%s\r\nVar%d_Type=%d\r\nVar%d_Status=0\r\nVar%d_Value=%s\r\n' \
    "$1" "$2" "$1" "$3" "$1" "$1" "$4"; }
{
    printf '[Kivo 1.0]\r\nVar_Cnt=5\r\n'
    var 1 "Close all positions of basket EURUSD" 5 ""
    var 2 "Close all positions of basket GBPUSD" 5 ""
    var 3 "Last day on which the expert opens new positions of the basket before the monthly review of the account" 4 "3/31/27"
    var 4 "Comment sent with each order" 1 "Basket EURUSD/GBPUSD hedge, opened by the expert after the London open; close all positions before the Friday close"
    var 5 "Lots" 3 "0.10"
} >"$long"
printf '[Kivo]\r\nMTPath=%s\r\nProject=%s\r\n' "$work/term" "$long" >"$work/kivo.ini"

# There is no window manager: the window takes the keyboard by xdotool's windowfocus, and the
# grid has the focus in it. A tooltip waits for the pointer to rest; Enter on the third row
# opens its change dialog.
xvfb-run -a -s "-screen 0 760x460x24" bash -c "
    \"$work/kivo\" &
    pid=\$!
    sleep 3
    window=\$(xdotool search --name '^Kivo - long.kvo\$' | head -1)
    xdotool windowfocus --sync \$window
    xdotool mousemove --window \$window 60 70
    sleep 2
    import -window root docs/screenshot-tooltip.png
    xdotool mousemove 0 0
    sleep 1
    xdotool key Down Down Return
    sleep 2
    import -window root docs/screenshot-dialog.png
    kill \$pid
"
echo "docs/screenshot-tooltip.png and docs/screenshot-dialog.png written"

# docs/screenshot-history.png: the history window beside the main window. A live expert takes
# a toggle and a typed value; it is stopped before a third change, which then waits. The journal
# goes to the scratch folder, not to your own.
history="$work/term/experts/files/robot.kvo"
build/tools/expert-sim/expert-sim publish "$history" 8 --bulk >/dev/null
printf '[Kivo]\r\nMTPath=%s\r\nProject=%s\r\n' "$work/term" "$history" >"$work/kivo.ini"
xvfb-run -a -s "-screen 0 2000x480x24" bash -c "
    export XDG_DATA_HOME=\"$work/data\"
    build/tools/expert-sim/expert-sim run \"$history\" --seconds 60 --interval-ms 300 &
    sim=\$!
    \"$work/kivo\" &
    pid=\$!
    sleep 3
    window=\$(xdotool search --name '^Kivo - robot.kvo\$' | head -1)
    xdotool windowfocus --sync \$window
    xdotool key Down Return; sleep 1; xdotool key alt+y; sleep 1.5
    xdotool key Down Return; sleep 1; xdotool type 'Hedge on'; xdotool key Return; sleep 1.5
    kill \$sim
    xdotool key Down Return; sleep 1; xdotool type 25; xdotool key Return; sleep 4
    xdotool windowfocus --sync \$window
    xdotool key ctrl+h
    sleep 2
    import -window root png:- | convert - -trim +repage docs/screenshot-history.png
    kill \$pid
"
echo "docs/screenshot-history.png written"

# Several variables at once: gathering, then the list of pending changes; and a limit's question.
# The limit is written into Kivo's own data file of the project, in the scratch folder.
news="$work/term/experts/files/news.kvo"
{
    printf '[Kivo 1.0]\r\nVar_Cnt=6\r\n'
    var 1 "Lot size" 3 "0.10"
    var 2 "Stop loss (pips)" 2 "25"
    var 3 "Take profit (pips)" 2 "50"
    var 4 "Trading enabled" 0 "1"
    var 5 "Maximum spread (points)" 2 "20"
    var 6 "Close all positions" 5 ""
} >"$news"
printf '[Kivo]\r\nMTPath=%s\r\nProject=%s\r\n' "$work/term" "$news" >"$work/kivo.ini"
hash=$(printf '%s' "$news" | sha256sum | cut -c1-8)
mkdir -p "$work/data/kivo/presets"
printf '{"format": "kivo-presets", "version": 1, "presets": [], "limits": [{"title": "Lot size", "type": 3, "lowest": 0.01, "highest": 1}]}' \
    >"$work/data/kivo/presets/news-$hash.json"
xvfb-run -a -s "-screen 0 2000x480x24" bash -c "
    export XDG_DATA_HOME=\"$work/data\"
    \"$work/kivo\" &
    pid=\$!
    sleep 3
    window=\$(xdotool search --name '^Kivo - news.kvo\$' | head -1)
    xdotool windowfocus --sync \$window
    xdotool key Return; sleep 1; xdotool type 20; xdotool key Return; sleep 1.5
    import -window root -crop 800x480+600+0 docs/screenshot-limit.png
    xdotool key Return; sleep 1; xdotool key Escape; sleep 1
    xdotool windowfocus --sync \$window
    xdotool key alt+e g; sleep 1.5
    xdotool windowfocus --sync \$window
    xdotool key Return; sleep 1; xdotool key ctrl+a; xdotool type 0.20; xdotool key Return; sleep 1
    xdotool windowfocus --sync \$window
    xdotool key Down Down Return; sleep 1; xdotool key ctrl+a; xdotool type 80; xdotool key Return; sleep 1
    xdotool windowfocus --sync \$window
    xdotool key Down Return; sleep 1; xdotool key alt+y; sleep 1.5
    import -window root png:- | convert - -trim +repage docs/screenshot-pending.png
    kill \$pid
"
echo "docs/screenshot-limit.png and docs/screenshot-pending.png written"
