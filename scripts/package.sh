#!/usr/bin/env bash
# Builds the Debian package build/sealgate_<version>_amd64.deb with CPack.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" dpkg-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target sealgate sealgate-connect
(cd build && cpack -G DEB >/dev/null)
ls build/sealgate_*_amd64.deb
