#!/usr/bin/env bash
# installer_test.sh SETUP_EXE VERSION: the installer's silent round trip under Wine, in a fresh
# prefix (about 15 s) whose listings then show only what the installer and uninstaller did.
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(stat -c %s "$1")" -lt 12000000 ] || fail "$1 is not under 12 MB"
work="$(mktemp -d "${TMPDIR:-/tmp}/kivo-installer-test.XXXXXX")"
export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES=winemenubuilder.exe=d # else it copies the shortcut into our own menus
trap '{ wineserver -k; wineserver -w; } 2>/dev/null || true; rm -rf "$work"' EXIT
wineboot -i >/dev/null 2>&1
# Keys every Windows profile has and a fresh prefix lacks (Console: for the uninstaller's cmd).
for key in Console Software\\Classes Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall; do
    wine reg add "HKCU\\$key" /f >/dev/null
done
home_win="$(wine cmd /c echo %USERPROFILE% | tr -d '\r')"
home="$(winepath -u "$home_win")"
dir_win="$home_win\\AppData\\Local\\Programs\\Kivo"
# Lists the profile's files and empty folders, and HKCU's keys, once the prefix's programs have
# ended, and fails unless they are the clean ones plus the lines of stdin.
expect() {
    wineserver -w
    (cd "$home" && find . -type f -o -empty) >"$work/files.$1"
    sed -n 's/^\[\(.*\)\] [0-9]*$/\1/p' "$WINEPREFIX/user.reg" | sed 's/\\\\/\\/g' >"$work/keys.$1"
    [ "$1" = clean ] || sort - "$work/files.clean" "$work/keys.clean" |
        diff -u - <(sort "$work/files.$1" "$work/keys.$1") >&2 || fail "after $1 (+ found)"
}
value() { wine reg query "$@" | tr -d '\r' | sed -n 's/^    .*    REG_SZ    //p'; }

expect clean </dev/null
wine "$1" /S || fail "the silent install"
expect installed <<'EOF'
./AppData/Local/Programs/Kivo/kivo.exe
./AppData/Local/Programs/Kivo/uninstall.exe
./AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Kivo.lnk
Software\Classes\.kvo
Software\Classes\Kivo.Project
Software\Classes\Kivo.Project\DefaultIcon
Software\Classes\Kivo.Project\shell\open\command
Software\Microsoft\Windows\CurrentVersion\Uninstall\Kivo
EOF
entry='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kivo'
diff -u - <(value 'HKCU\Software\Classes\Kivo.Project\shell\open\command' /ve
    value "$entry" /v Publisher; value "$entry" /v DisplayVersion) <<EOF || fail "values (+ found)"
"$dir_win\\kivo.exe" "%1"

$2
EOF
wine "$dir_win\\uninstall.exe" /S || fail "the silent uninstall"
expect uninstalled </dev/null

# Settings beside kivo.exe or in %APPDATA%\Kivo, and the journal there, outlive an uninstall.
wine "$1" /S
# The installed Kivo, started with a project on its command line, shows it.
cp "$(dirname "$0")/data/normal.kvo" "$work/"
wine start "$dir_win\\kivo.exe" "$(winepath -w "$work/normal.kvo")"
title='"Kivo - normal.kvo": ("kivo.exe"'
for _ in $(seq 300); do xwininfo -root -tree | grep -qF "$title" && break; sleep 0.2; done
xwininfo -root -tree | grep -qF "$title" || fail "the installed Kivo does not show normal.kvo"
wine taskkill /im kivo.exe >/dev/null
wineserver -w
mkdir -p "$home/AppData/Roaming/Kivo"
kept=(Local/Programs/Kivo/kivo.ini Roaming/Kivo/kivo.ini Roaming/Kivo/journal)
for file in "${kept[@]}"; do echo '[Kivo]' >"$home/AppData/$file"; done
wine "$dir_win\\uninstall.exe" /S; wineserver -w
for file in "${kept[@]}"; do [ -f "$home/AppData/$file" ] || fail "removed $file"; done
