#!/usr/bin/env bash
# Sets everything up, builds, and runs all tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
cd "${ZORBIX_BUILD_DIR:-build}"
ctest --output-on-failure --parallel "$(nproc)" --timeout 600
