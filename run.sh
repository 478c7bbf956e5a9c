#!/usr/bin/env bash
# Builds Kivo in build/ (installing what is missing) and starts it.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh
kivo_install "${kivo_packages[@]}"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kivo
exec build/src/kivo
