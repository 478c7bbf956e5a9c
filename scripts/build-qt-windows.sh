#!/usr/bin/env bash
# Builds a static Qt for Windows x64 from Debian's own qt6-base source, once, into a cache
# outside the clone, and prints the folder it installed into. A change of the Qt version or of
# the options below gives another folder, so the next run builds again.
#   scripts/build-qt-windows.sh        build when missing, then print the prefix
# Needs: the MinGW cross compiler, qt6-base-dev-tools (the host tools), dpkg-dev, ninja.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

# True once process $1 has ended, false after $2 seconds while it still runs.
wait_for_exit() {
    local left=$2
    while [ "$left" -gt 0 ]; do
        kill -0 "$1" 2>/dev/null || return 0
        sleep 1
        left=$((left - 1))
    done
    ! kill -0 "$1" 2>/dev/null
}

qt_version="$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)"
options=(
    -DBUILD_SHARED_LIBS=OFF
    -DQT_BUILD_EXAMPLES=OFF
    -DQT_BUILD_TESTS=OFF
    -DFEATURE_system_zlib=OFF
    -DFEATURE_system_pcre2=OFF
    -DFEATURE_system_png=OFF
    -DFEATURE_system_jpeg=OFF
    -DFEATURE_system_freetype=OFF
    -DFEATURE_system_harfbuzz=OFF
    -DFEATURE_zstd=OFF
    -DFEATURE_sql=OFF
    -DFEATURE_network=OFF
    -DFEATURE_dbus=OFF
    -DFEATURE_xml=OFF
    -DFEATURE_printsupport=OFF
    -DFEATURE_concurrent=OFF
    # Debian's source drops the header the Windows plugin needs for tablet events.
    -DFEATURE_tabletevent=OFF
)
key="$(printf '%s\n' "$qt_version" "${options[@]}" | cat - "$here/mingw-toolchain.cmake" |
    sha256sum | cut -c1-12)"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/kivo"
prefix="$cache/qt-${qt_version%%+*}-mingw64-static-$key"

if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi
# One build at a time: a second run waits for the first and then finds its result.
mkdir -p "$cache"
exec 9>"$cache/qt-$key.lock"
flock 9
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

# apt-get source needs a deb-src entry. None is made up: each enabled binary source of this
# machine (its own mirror or proxy included) is copied with the type deb-src, same URIs, suites,
# components and keyring.
if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    entries="$("$here/derive-deb-src.sh")"
    if [ -z "$entries" ]; then
        echo "No apt source to derive a deb-src entry from" >&2
        exit 1
    fi
    echo "Adding deb-src entries derived from this machine's apt sources" >&2
    sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    printf '%s\n' "$entries" | "${sudo[@]}" tee /etc/apt/sources.list.d/kivo-deb-src.sources >/dev/null
    "${sudo[@]}" apt-get update -qq >&2
fi

work="$cache/qt-work-$key"
rm -rf "$work" "$prefix"
mkdir -p "$work"
(cd "$work" && apt-get source -qq --download-only "qt6-base=$qt_version" >&2 &&
    dpkg-source -x ./*.dsc src >&2)
echo "Building static Qt $qt_version for Windows into $prefix (takes 15-20 minutes)" >&2
cmake -S "$work/src" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/mingw-toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    "${options[@]}" >"$work/configure.log" 2>&1 ||
    { tail -40 "$work/configure.log" >&2; exit 1; }
# The build is long and its log goes to a file: a line a minute says how far it is.
started=$SECONDS
cmake --build "$work/build" -j"$(nproc)" >"$work/build.log" 2>&1 &
build=$!
while ! wait_for_exit "$build" 60; do
    step="$(grep -o '^\[[0-9]*/[0-9]*\]' "$work/build.log" | tail -n 1)"
    printf 'Qt build: step %s, %d min %02d s elapsed\n' "${step:-[starting]}" \
        $(((SECONDS - started) / 60)) $(((SECONDS - started) % 60)) >&2
done
wait "$build" || { tail -40 "$work/build.log" >&2; exit 1; }
cmake --install "$work/build" >"$work/install.log" 2>&1 ||
    { tail -40 "$work/install.log" >&2; exit 1; }
touch "$prefix/.complete"
rm -rf "$work"
echo "$prefix"
