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
# Tests run programs as another user (nobody), and a TSan-built program that
# cannot read its suppressions file exits with 66: the file goes where every
# user may read it, since the checkout may be in a directory only its owner enters.
shared=$(mktemp -d)
trap 'rm -rf "$shared"' EXIT
install -m 0644 tests/tsan.supp tests/lsan.supp "$shared/"
chmod 0755 "$shared"
export TSAN_OPTIONS="halt_on_error=1 suppressions=$shared/tsan.supp"
export LSAN_OPTIONS="suppressions=$shared/lsan.supp print_suppressions=0"

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
