#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
# Sourced by run.sh, test.sh, bench.sh and fuzz.sh.

kivo_packages=(cmake g++ make qt6-base-dev qt6-base-dev-tools libgl-dev)

kivo_install() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
