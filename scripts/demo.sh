#!/usr/bin/env bash
# Demo: sets up and builds, then starts the PC/SC bench (pcscd with the vpcd
# reader, everything on loopback) with the default virtual card and runs the
# wizard on it: zorbix where there is a display, zorbix-check otherwise.
# The bench stops when the wizard closes.
#
#   bash scripts/demo.sh [ARGS...]      ARGS go to the wizard program
#   ZORBIX_DEMO_PROFILE=NAME            another card (zorbix-vcard --list-profiles)
set -euo pipefail
# The wizard writes ZorbixLog.html into the folder the demo was started from.
start_dir=$PWD
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash scripts/build.sh
build_dir=$(cd "${ZORBIX_BUILD_DIR:-build}" && pwd)

find_program() {
  find "$build_dir" -type f -name "$1" -perm -u+x -print -quit
}
bench=$(find_program zorbix-bench)
vcard=$(find_program zorbix-vcard)
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  wizard=$(find_program zorbix)
else
  wizard=$(find_program zorbix-check)
fi
for p in "$bench" "$vcard" "$wizard"; do
  if [ -z "$p" ]; then
    echo "demo: a program is missing from $build_dir (build failed?)" >&2
    exit 1
  fi
done

echo "Virtual cards (name, ATR, codes):"
"$vcard" --list-profiles | sed 's/^/  /'
echo

# pcscd needs root to create /run/pcscd; the bench runs it through sudo -n.
if [ "$(id -u)" -ne 0 ]; then
  sudo -v
fi

profile_args=()
if [ -n "${ZORBIX_DEMO_PROFILE:-}" ]; then
  profile_args=(--profile "$ZORBIX_DEMO_PROFILE")
fi
# The bench forwards SIGINT/SIGTERM to the wizard and stops after it; the
# shell only has to wait for it.
trap ':' INT TERM
cd "$start_dir"
"$bench" "${profile_args[@]}" -- "$wizard" "$@"
