#!/usr/bin/env bash
# Fuzzes one target for a number of seconds: scripts/fuzz.sh request|ocsp_response SECONDS
# New inputs go to build-fuzz/corpus/TARGET; the checked-in seeds stay as they are.
# With SECONDS 0 it runs each checked-in input once (the regression run CI makes).
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?target: request or ocsp_response}
seconds=${2:?seconds}
source scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" clang libclang-rt-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DSEALGATE_FUZZ=ON -DSEALGATE_TESTS=OFF -DSEALGATE_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${target}_fuzzer" >/dev/null
seeds="fuzz/corpus/$target"
if [ "$seconds" = 0 ]; then
  exec "build-fuzz/fuzz/${target}_fuzzer" -runs=0 "$seeds"/*
fi
mkdir -p "build-fuzz/corpus/$target"
exec "build-fuzz/fuzz/${target}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
  "build-fuzz/corpus/$target" "$seeds"
