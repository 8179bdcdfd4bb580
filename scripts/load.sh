#!/usr/bin/env bash
# Runs the load tests longer than CI does: the threads and processes work a
# token for SECONDS each (default 60), in this process with the fake PC/SC
# and through pcscd on the bench. Builds into ./build (or $ZORBIX_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${ZORBIX_BUILD_DIR:-build}
if [ ! -f "$build_dir/build.ninja" ]; then
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=${ZORBIX_BUILD_TYPE:-RelWithDebInfo}
fi
cmake --build "$build_dir" --target p11_load_test p11_load_bench_test p11_load_client
export ZORBIX_LOAD_SECONDS=${1:-60}
"$build_dir/tests/p11/p11_load_test"
"$build_dir/tests/p11/p11_load_bench_test"
