#!/usr/bin/env bash
# Builds Kivo for Windows x64 and tests it under Wine:
#   1. installs what is missing (MinGW-w64, Wine, Xvfb, the host Qt tools, NSIS, zip);
#   2. builds a static Qt for Windows from Debian's qt6-base source, once, into
#      ~/.cache/kivo/ (scripts/build-qt-windows.sh; later runs reuse it);
#   3. builds kivo.exe, the tests, expert-sim.exe and the installer
#      kivo-<version>-windows-x64-setup.exe in build-windows/;
#   4. runs the suite under Wine through CTest, the installer's round trip included, and the
#      soak of a native Linux Kivo beside expert-sim.exe under Wine;
#   5. packs build-windows/kivo-<version>-windows-x64.zip: kivo.exe and README.txt.
# Exits non-zero on any failure. KIVO_WINEPREFIX names another Wine prefix than the shared
# ~/.cache/kivo/wine, for runs that must not meet another's Wine server.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh

start=$SECONDS
kivo_install "${kivo_packages[@]}" ninja-build dpkg-dev \
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 fonts-wine xvfb xauth x11-utils zip \
    nsis

qt="$(scripts/build-qt-windows.sh)"
echo "Static Qt for Windows: $qt ($((SECONDS - start)) s so far)"

export WINEPREFIX="${KIVO_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/kivo/wine}"
export WINEDEBUG=-all WINEARCH=win64
# Wine's menu builder would copy the prefix's Start menu and file types into this machine's own
# desktop folders.
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Making the Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
fi
# Windows in one virtual desktop: with no window manager on the display, Wine waits about two
# seconds for each window it hides to be confirmed gone.
if ! grep -qs '"Default"="1280x800"' "$WINEPREFIX/user.reg"; then
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1280x800 /f >/dev/null 2>&1
    wineserver -k 2>/dev/null || true
fi

# A toolchain is only taken at the first configure: another Qt (a new cache key) starts afresh.
toolchain="$qt/lib/cmake/Qt6/qt.toolchain.cmake"
if ! grep -qsF "CMAKE_TOOLCHAIN_FILE:FILEPATH=$toolchain" build-windows/CMakeCache.txt; then
    rm -rf build-windows/CMakeCache.txt build-windows/CMakeFiles
fi
# Qt's own toolchain file finds the static Qt wherever the cache is, and loads the MinGW one.
cmake -S . -B build-windows -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DQT_CHAINLOAD_TOOLCHAIN_FILE="$PWD/scripts/mingw-toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/scripts/wine-run.sh" >/dev/null
cmake --build build-windows -j"$(nproc)"

# The tests show real windows, on an Xvfb display. Wine's desktop process takes the display it
# finds when the Wine server starts, so no server may be left from a run without one.
wineserver -k 2>/dev/null || true
status=0
xvfb-run -a -s "-screen 0 1280x800x24" \
    ctest --test-dir build-windows --output-on-failure -j"$(nproc)" || status=$?
wineserver -k 2>/dev/null || true

# The pairing traders run on Linux: a native Kivo beside the expert under Wine, which writes
# through Wine's own profile functions. Nothing Kivo does may make one of those writes fail.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target tst_soak
echo "Native soak against expert-sim.exe under Wine"
KIVO_SOAK_WINE_EXPERT="$PWD/build-windows/expert-sim.exe" QT_QPA_PLATFORM=offscreen \
    build/tests/tst_soak || status=1
wineserver -k 2>/dev/null || true

version="$(sed -n 's/^project(kivo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
package="kivo-$version-windows-x64"
rm -rf "build-windows/$package" "build-windows/$package.zip"
mkdir -p "build-windows/$package"
x86_64-w64-mingw32-strip -o "build-windows/$package/kivo.exe" build-windows/kivo.exe
sed 's/$/\r/' resources/README-windows.txt >"build-windows/$package/README.txt"
(cd build-windows && zip -qr "$package.zip" "$package")
echo "Packed build-windows/$package.zip ($(du -h "build-windows/$package.zip" | cut -f1))"
echo "Made build-windows/$package-setup.exe ($(du -h "build-windows/$package-setup.exe" | cut -f1))"
echo "windows.sh took $((SECONDS - start)) s"
exit "$status"
