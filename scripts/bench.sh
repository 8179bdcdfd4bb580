#!/usr/bin/env bash
# Measures the card exchanges, the host's cost, the wizard's run time and the
# module's memory, and writes BENCHMARKS.md (not part of the tests). Takes a
# few minutes; the wizard and memory runs use the pcscd bench, so they wait
# while a test holds it.
#   bash scripts/bench.sh [OUTPUT]      (default: BENCHMARKS.md)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-BENCHMARKS.md}
build=${ZORBIX_BUILD_DIR:-build}

bash scripts/setup.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${ZORBIX_BUILD_TYPE:-RelWithDebInfo} >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target \
  zorbix-bench-card-costs zorbix-bench-host-cost zorbix-bench-memory zorbix-bench zorbix-check ORVA_P11

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
bin=$root/$build
profiles=$("$bin/sim/zorbix-vcard" --list-profiles | awk '{print $1}')
pin_of() { "$bin/sim/zorbix-vcard" --list-profiles | awk -v p="$1" '$1 == p {sub(/^pin=/, "", $3); print $3}'; }

# ---- 1. Card exchanges per operation
echo "card exchanges..." >&2
"$bin/tests/bench/zorbix-bench-card-costs" >"$tmp/table1"

# The wizard's whole run: zorbix-check on the pcscd bench, timed, the card's
# trace taken when it ends. With "memory", the same bench then runs the
# memory program on the card (one bench per card: the bench is shared by
# every test on the machine, and waiting for it is most of the time here).
wizard() {  # profile delay-ms [memory] -> $tmp/wizard-PROFILE-DELAY.{trace,time}, $tmp/memory
  local p=$1 delay=$2 dir="$tmp/run-$1-$2" pin
  pin=$(pin_of "$p")
  mkdir -p "$dir"
  local then=true
  [ "${3:-}" = memory ] && then='"$4" "$5" "$6" | sed "s/^/$7 /" >>"$8"'
  (cd "$dir" && printf '%s\n' "$pin" |
    "$bin/sim/zorbix-bench" --profile "$p" --delay-ms "$delay" --trace "$dir/card.trace" -- \
      bash -c 'set -o pipefail; TIMEFORMAT="%R %U %S"; { time "$0" >/dev/null 2>&1; } 2>"$1"; cp "$2" "$3" && '"$then" \
      "$bin/app/zorbix-check" "$tmp/wizard-$p-$delay.time" "$dir/card.trace" "$tmp/wizard-$p-$delay.trace" \
      "$bin/tests/bench/zorbix-bench-memory" "$bin/p11/ORVA_P11.so" "$pin" "$p" "$tmp/memory" \
      >/dev/null 2>"$dir/bench.err") ||
    { cat "$dir/bench.err" >&2; return 1; }
}
echo "the wizard and the memory on every card..." >&2
for p in $profiles; do
  wizard "$p" 0 memory
  "$bin/tests/bench/zorbix-bench-card-costs" --trace-file "$p" "$tmp/wizard-$p-0.trace" \
    "the wizard's whole run (zorbix-check)" | tail -1 >>"$tmp/table1"
done

# ---- 2. Host cost against SoftHSM2
echo "host cost..." >&2
softhsm=$(dpkg -L softhsm2 2>/dev/null | grep -m1 'libsofthsm2.so$' || echo /usr/lib/softhsm/libsofthsm2.so)
mkdir -p "$tmp/softhsm/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$tmp/softhsm/tokens" \
  >"$tmp/softhsm/softhsm2.conf"
export SOFTHSM2_CONF=$tmp/softhsm/softhsm2.conf
softhsm2-util --init-token --free --label bench --pin 1234 --so-pin 56785678 >/dev/null
"$bin/tests/bench/zorbix-bench-host-cost" "$softhsm" >"$tmp/host-time"
(cd "$tmp" && valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$tmp/cg.%p" \
  "$bin/tests/bench/zorbix-bench-host-cost" "$softhsm" >/dev/null 2>"$tmp/valgrind.err") ||
  { cat "$tmp/valgrind.err" >&2; exit 1; }

# ---- 3. The wizard's run with 20 ms per exchange (0 ms: the runs above)
echo "wizard at 20 ms..." >&2
slow="HALVO TC-ORVA3 Vexa"
for p in $slow; do wizard "$p" 20; done

/usr/bin/python3 scripts/bench_report.py "$tmp" "$out" "$slow"
echo "wrote $out" >&2
