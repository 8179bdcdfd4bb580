#!/usr/bin/env bash
# Runs the fault tables in full: every fault (an error status, a corrupted
# answer, the card pulled) at every command of the module's main calls, on a
# plain and a secure-channel card, in this process; and the card pulled at
# every command of a login and a signature through pcscd. CI runs one fault
# per command in turn, and every third removal on the bench.
# Builds into ./build (or $ZORBIX_BUILD_DIR) first.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${ZORBIX_BUILD_DIR:-build}
if [ ! -f "$build_dir/build.ninja" ]; then
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=${ZORBIX_BUILD_TYPE:-RelWithDebInfo}
fi
cmake --build "$build_dir" --target p11_faults_test p11_faults_bench_test
export ZORBIX_FAULTS=full
"$build_dir/tests/p11/p11_faults_test" "$@"
"$build_dir/tests/p11/p11_faults_bench_test" "$@"
