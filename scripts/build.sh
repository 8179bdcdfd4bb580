#!/usr/bin/env bash
# Configures and builds ZORBIX into ./build (or $ZORBIX_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${ZORBIX_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=${ZORBIX_BUILD_TYPE:-RelWithDebInfo} "$@"
cmake --build "$build_dir" --parallel "$(nproc)"
