#!/usr/bin/env bash
# Sets everything up, builds, and runs all tests: once on the normal build,
# then again on a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (skip that pass with ZORBIX_SKIP_SANITIZE=1), then the fuzzing harnesses,
# built with clang and libFuzzer, each for a few seconds (skip with
# ZORBIX_SKIP_FUZZ=1; scripts/fuzz.sh runs them longer).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# The bench tests start pcscd through sudo -n when not run as root: ask for
# the password (if any) before each test run, not when a build has let the
# credentials lapse.
refresh_sudo() {
  if [ "$(id -u)" -ne 0 ] && ! sudo -v; then
    echo "test.sh: no sudo: the PC/SC bench tests need a pcscd that serves the vpcd readers" >&2
  fi
}

jobs=$(nproc)
bash scripts/build.sh
refresh_sudo
(cd "${ZORBIX_BUILD_DIR:-build}" && ctest --output-on-failure --parallel "$jobs" --timeout 600)

if [ "${ZORBIX_SKIP_SANITIZE:-0}" != 1 ]; then
  ZORBIX_BUILD_DIR=build-asan ZORBIX_BUILD_TYPE=Debug bash scripts/build.sh -DZORBIX_SANITIZE=ON
  refresh_sudo
  (cd build-asan && ctest --output-on-failure --parallel "$jobs" --timeout 900)
fi

if [ "${ZORBIX_SKIP_FUZZ:-0}" != 1 ]; then
  rc=0
  bash scripts/fuzz.sh --build || rc=$?
  if [ "$rc" -eq 3 ]; then
    echo "test.sh: no clang with libFuzzer: the fuzzing pass is skipped" >&2
  elif [ "$rc" -ne 0 ]; then
    exit "$rc"
  else
    (cd "${ZORBIX_FUZZ_BUILD_DIR:-build-fuzz}" && ctest --output-on-failure --parallel "$jobs" --timeout 600)
  fi
fi
