#!/usr/bin/env bash
# Runs a Windows program under Wine for CTest (CMAKE_CROSSCOMPILING_EMULATOR), in Kivo's own
# Wine prefix, quietly. The prefix is made by windows.sh. A Qt Test report that the program
# writes to a file (-o Z:/path,txt) is printed when it ends, for CTest to show.
set -uo pipefail
export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/kivo/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
report=
previous=
for arg in "$@"; do
    if [ "$previous" = "-o" ] && [[ "$arg" == Z:*,txt ]]; then
        report="${arg#Z:}"
        report="${report%,txt}"
    fi
    previous="$arg"
done
[ -n "$report" ] && rm -f "$report"
wine "$@"
status=$?
[ -n "$report" ] && [ -f "$report" ] && cat "$report"
exit "$status"
