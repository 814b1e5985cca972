#!/usr/bin/env bash
# Builds sealgate (Release, into build/) and runs it in the foreground with
# its logs in ./logs. Extra arguments are passed on to sealgate.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target sealgate sealgate-connect
mkdir -p logs
exec build/sealgate -l ./logs "$@"
