#!/usr/bin/env bash
# Runs a cross-built Windows program under wine64 in a Wine prefix of its own, made for this run and
# removed afterwards, and exits with the program's exit code.
#   usage: scripts/wine-run.sh <program.exe> [arguments...]
# WINE_RUN_TIMEOUT (seconds, default 840) bounds the program so that a hang still cleans up.
set -uo pipefail

if [[ $# -lt 1 ]]; then
  echo "usage: $0 <program.exe> [arguments...]" >&2
  exit 2
fi
program="$1"
shift
if [[ ! -f "$program" ]]; then
  echo "wine-run: no such program: $program" >&2
  exit 2
fi

# shellcheck source=scripts/wine-common.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine-common.sh"
wine_setup wine-run velocyn-wine
cleanup() {
  # Whatever still runs in the prefix goes with it.
  WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$prefix" "$prefix.boot.log"
}
trap cleanup EXIT
child=""
stop() {
  if [[ -n "$child" ]]; then kill "$child" 2>/dev/null || true; fi
  exit 130
}
# The program runs in the background so that a signal (ctest's time-out, Ctrl-C) is handled at once.
trap stop INT TERM HUP

# The first program in a new prefix makes it (the loader boots it once) and leaves its services running;
# the program then runs beside them in the same session, and the wait at the end covers both. Not
# "wineboot -i": in a new prefix that boots a second time, and the second service control manager then
# shares the control endpoint with the first, so a service made through one starts through the other
# (start time-outs, "service does not exist" in the service's own process).
log="$prefix.boot.log"
"$wine" cmd /c exit 0 >"$log" 2>&1 &
child=$!
if ! wait "$child"; then
  echo "wine-run: could not create the Wine prefix:" >&2
  cat "$log" >&2
  exit 2
fi

timeout --kill-after=10 "${WINE_RUN_TIMEOUT:-840}" "$wine" "$program" "$@" &
child=$!
wait "$child"
status=$?
child=""
"$wineserver" -w
if [[ $status -eq 124 ]]; then
  echo "wine-run: $program did not finish within ${WINE_RUN_TIMEOUT:-840} s" >&2
fi
exit "$status"
