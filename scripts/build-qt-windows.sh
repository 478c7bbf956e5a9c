#!/usr/bin/env bash
# Builds a static Qt for Windows x64 from Debian's own qt6-base source, once, into a cache
# outside the clone, and prints the folder it installed into. A change of the Qt version or of
# the options below gives another folder, so the next run builds again.
#   scripts/build-qt-windows.sh        build when missing, then print the prefix
# Needs: the MinGW cross compiler, qt6-base-dev-tools (the host tools), dpkg-dev, ninja.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

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

# apt-get source needs a deb-src entry for the Debian archive.
if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "Adding a deb-src entry for the Debian archive" >&2
    sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' \
        'Suites: bookworm bookworm-updates' 'Components: main' \
        'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
        "${sudo[@]}" tee /etc/apt/sources.list.d/kivo-deb-src.sources >/dev/null
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
cmake --build "$work/build" -j"$(nproc)" >"$work/build.log" 2>&1 ||
    { tail -40 "$work/build.log" >&2; exit 1; }
cmake --install "$work/build" >"$work/install.log" 2>&1 ||
    { tail -40 "$work/install.log" >&2; exit 1; }
touch "$prefix/.complete"
rm -rf "$work"
echo "$prefix"
