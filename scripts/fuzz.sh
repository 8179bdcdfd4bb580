#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang into ./build-fuzz (or
# $ZORBIX_FUZZ_BUILD_DIR) and runs each of them in turn, at the lowest
# priority, for SECONDS (default 300), then prints executions per second and
# in all for each. New inputs collect in build-fuzz/tests/fuzz/work/<name>
# (kept from run to run); a crash leaves its input in
# build-fuzz/tests/fuzz/artifacts/ and makes the script fail.
#
#   bash scripts/fuzz.sh [SECONDS] [HARNESS...]
#   bash scripts/fuzz.sh --build     only build (exit 3: no clang with libFuzzer)
#
# A crash input becomes a regression: copy it to
# tests/fuzz/regressions/<harness>/<what it shows>, mend the fault, and the
# tests replay it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${ZORBIX_FUZZ_BUILD_DIR:-build-fuzz}

have_libfuzzer() {
  command -v clang >/dev/null && command -v clang++ >/dev/null || return 1
  local probe
  probe=$(mktemp -d)
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
    > "$probe/probe.cpp"
  local ok=0
  clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    >/dev/null 2>&1 || ok=1
  rm -rf "$probe"
  return $ok
}

build() {
  if ! have_libfuzzer; then
    echo "fuzz.sh: clang with libFuzzer is missing (scripts/setup.sh installs it)" >&2
    return 3
  fi
  # Only the harnesses and what they link; no GUI.
  CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORBIX_FUZZ=ON -DZORBIX_BUILD_GUI=OFF >/dev/null
  cmake --build "$build_dir" --target zorbix_fuzz --parallel "$(nproc)"
}

if [ "${1:-}" = "--build" ]; then
  build
  exit $?
fi

seconds=${1:-300}
shift || true
build
harness_dir=$build_dir/tests/fuzz
if [ "$#" -gt 0 ]; then
  names=("$@")
else
  names=()
  for f in "$harness_dir"/fuzz_*; do
    name=${f##*/fuzz_}
    [ "$name" = make_corpus ] || names+=("$name")
  done
fi

mkdir -p "$harness_dir/artifacts" "$harness_dir/logs"
failed=()
printf '%-18s %12s %14s %s\n' harness "exec/s" executions result
for name in "${names[@]}"; do
  work=$harness_dir/work/$name
  mkdir -p "$work"
  inputs=()
  for d in tests/fuzz/regressions/$name tests/fuzz/corpus/$name; do
    [ -d "$d" ] && inputs+=("$d")
  done
  log=$harness_dir/logs/$name.log
  status=ok
  nice -n 19 "$harness_dir/fuzz_$name" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$harness_dir/artifacts/$name-" \
    "$work" "${inputs[@]}" >"$log" 2>&1 || status="CRASH (see $log)"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  printf '%-18s %12s %14s %s\n' "$name" "${rate:--}" "${execs:--}" "$status"
  [ "$status" = ok ] || failed+=("$name")
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz.sh: crashes in: ${failed[*]}; inputs in $harness_dir/artifacts" >&2
  exit 1
fi
