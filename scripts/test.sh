#!/usr/bin/env bash
# Builds everything into build/ and runs the whole test suite; the exit code is the suite's.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
scripts/check_layers.sh  # no module includes one above it
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DSEALGATE_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)"
(cd build && ctest --output-on-failure --timeout 600 -j"$(nproc)")
# CI also runs the suite under the sanitizers; SEALGATE_QUICK=1 skips that locally.
if [ "${SEALGATE_QUICK:-0}" != 1 ]; then
  scripts/sanitize.sh
fi
