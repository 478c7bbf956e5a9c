#!/usr/bin/env bash
# Builds Kivo and runs every test headless through CTest.
#   ./test.sh             the plain build, in build/, and its Debian package there
#   ./test.sh --sanitize  AddressSanitizer and UndefinedBehaviorSanitizer, in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh

dir=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
ctest_flags=()
if [ "${1:-}" = "--sanitize" ]; then
    dir=build-sanitize
    flags=(-DCMAKE_BUILD_TYPE=Debug -DKIVO_SANITIZE=ON)
    # The soak counts races against a live expert, whose rate the plain build's speed sets; the
    # sanitized build is several times slower and widens them. Its code paths run in other tests.
    ctest_flags=(-LE soak)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
fi

# The dialog tests measure text: a known font keeps them independent of the machine.
# dpkg-dev: CPack asks dpkg-shlibdeps for the package's dependencies.
kivo_install "${kivo_packages[@]}" desktop-file-utils fonts-dejavu-core dpkg-dev
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
cd "$dir"
# The plain build also leaves the Debian package here: kivo_<version>_<arch>.deb, stripped.
if [ "$dir" = build ]; then
    cpack -G DEB >/dev/null
    ls ./*.deb
fi
export QT_QPA_PLATFORM=offscreen
ctest --output-on-failure -j"$(nproc)" "${ctest_flags[@]}"
