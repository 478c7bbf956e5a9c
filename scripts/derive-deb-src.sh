#!/usr/bin/env bash
# Prints deb-src stanzas (deb822) that mirror this machine's enabled binary apt sources: the same
# URIs, suites, components and keyring, with "Types: deb-src". Reads the one-line format of
# sources.list and the deb822 format of sources.list.d/*.sources; files apt ignores (other
# endings, such as a disabled copy) are skipped. Prints nothing when there is no source.
set -euo pipefail
dir="${APT_SOURCES_DIR:-/etc/apt}"
files=()
[ -f "$dir/sources.list" ] && files+=("$dir/sources.list")
for f in "$dir"/sources.list.d/*.list "$dir"/sources.list.d/*.sources; do
    [ -f "$f" ] && files+=("$f")
done
[ ${#files[@]} -eq 0 ] && exit 0

awk '
function flush() {
    if (types ~ /(^|[ \t])deb([ \t]|$)/ && enabled !~ /^[ \t]*no/ && uris != "" && suites != "") {
        printf "%sTypes: deb-src\nURIs: %s\nSuites: %s\n", sep, uris, suites
        if (components != "") printf "Components: %s\n", components
        if (signed != "") printf "Signed-By: %s\n", signed
        sep = "\n"
    }
    types = uris = suites = components = signed = enabled = last = ""
}
FNR == 1 { flush() }
FILENAME ~ /\.list$/ {
    sub(/#.*/, "")
    if ($1 != "deb") next
    opts = ""
    i = 2
    if ($2 ~ /^\[/) {
        while (i <= NF && $i !~ /\]$/) { opts = opts " " $i; i++ }
        opts = opts " " $i; i++
    }
    types = "deb"; uris = $i; suites = $(i + 1)
    for (j = i + 2; j <= NF; j++) components = components (components == "" ? "" : " ") $j
    if (match(opts, /signed-by=[^] ]+/)) signed = substr(opts, RSTART + 10, RLENGTH - 10)
    flush()
    next
}
/^[ \t]*#/ { next }
/^[ \t]*$/ { flush(); next }
# A continuation line: only an inline key block (Signed-By) has them.
/^[ \t]/ { if (last == "signed-by") signed = signed "\n" $0; next }
{
    key = tolower($1); sub(/:.*/, "", key)
    value = $0; sub(/^[^:]*:[ \t]*/, "", value)
    if (key == "types") types = value
    else if (key == "uris") uris = value
    else if (key == "suites") suites = value
    else if (key == "components") components = value
    else if (key == "signed-by") signed = value
    else if (key == "enabled") enabled = tolower(value)
    last = key
}
END { flush() }
' "${files[@]}"
