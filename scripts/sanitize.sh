#!/usr/bin/env bash
# The sanitizer runs of CI: the whole suite under ASan+UBSan, the suite under
# TSan (the end-to-end tests drive the TSan-built sealgate), and each fuzz
# target over its checked-in corpus (first, so that ctest's summary ends the output). Any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" clang libclang-rt-dev
jobs=$(nproc)
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 suppressions=$(pwd)/tests/tsan.supp"

echo "== fuzz targets over their corpus"
scripts/fuzz.sh request 0 2>&1 | tail -1
scripts/fuzz.sh ocsp_response 0 2>&1 | tail -1

for kind in address thread; do
  dir=build-$kind
  echo "== $kind sanitizer build"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSEALGATE_SANITIZE=$kind -DSEALGATE_BENCH=OFF >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
  (cd "$dir" && ctest --output-on-failure --timeout 600 -j"$jobs")
done
