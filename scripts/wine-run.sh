#!/usr/bin/env bash
# Runs a Windows program under Wine for CTest (CMAKE_CROSSCOMPILING_EMULATOR), in Kivo's own
# Wine prefix, quietly. The prefix is made by windows.sh.
set -euo pipefail
export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/kivo/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$@"
