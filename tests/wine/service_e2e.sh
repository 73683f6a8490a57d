#!/usr/bin/env bash
# The agent service end to end under Wine's service control manager, in a Wine prefix of its own:
# golden-image registry, "sc create", a start that stops by itself after a short shutdown delay, the
# boot-time agent's BootExecute registration, the version line of the log, and a start whose long
# delay a "sc stop" cuts short. The whole run is one Wine session: the controller program
# (tests/programs/velocyn_service_e2e.cpp) is the prefix's first and only program, because the
# service control manager ends with the session's last process.
#   usage: tests/wine/service_e2e.sh <tlv-velocyn-ga.exe> <velocyn_service_e2e.exe> <product version a.b.c.d>
# Prints one "service-e2e: PASS|FAIL <check>" line per check and a summary; exits non-zero on failure.
# SERVICE_E2E_TIMEOUT (seconds, default 420) bounds the run.
set -uo pipefail

if [[ $# -ne 3 ]]; then
  echo "usage: $0 <tlv-velocyn-ga.exe> <velocyn_service_e2e.exe> <product version a.b.c.d>" >&2
  exit 2
fi
agent="$(realpath -e "$1" 2>/dev/null)" || {
  echo "service-e2e: FAIL no agent executable: $1" >&2
  exit 2
}
controller="$(realpath -e "$2" 2>/dev/null)" || {
  echo "service-e2e: FAIL no controller program: $2" >&2
  exit 2
}
version="$3"
if [[ ! "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
  echo "service-e2e: FAIL the expected version is not a.b.c.d: $version" >&2
  exit 2
fi

# shellcheck source=scripts/wine-common.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-common.sh"
wine_setup service-e2e velocyn-e2e
child=""
cleanup() {
  WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$prefix" "$prefix.out"
}
trap cleanup EXIT
trap 'if [[ -n "$child" ]]; then kill "$child" 2>/dev/null || true; fi; exit 130' INT TERM HUP

# The whole file system is drive Z: in a new prefix.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

echo "service-e2e: agent $(windows_path "$agent"), expected version $version"
output="$prefix.out"
timeout --kill-after=10 "${SERVICE_E2E_TIMEOUT:-420}" "$wine" "$controller" "$(windows_path "$agent")" "$version" \
  > >(tee "$output") 2> >(grep -v '^wine: ' >&2) &
child=$!
wait "$child"
status=$?
child=""
"$wineserver" -w
sleep 0.2  # the tee of the last lines

passed="$(grep -c '^service-e2e: PASS ' "$output" 2>/dev/null)"
failed="$(grep -c '^service-e2e: FAIL ' "$output" 2>/dev/null)"
rm -f "$output"
if [[ $status -eq 124 ]]; then
  echo "service-e2e: FAIL the run did not finish within ${SERVICE_E2E_TIMEOUT:-420} s"
  failed=$((failed + 1))
elif [[ $status -ne 0 && $failed -eq 0 ]]; then
  echo "service-e2e: FAIL the controller ended with exit code $status"
  failed=$((failed + 1))
fi

if [[ $failed -ne 0 ]]; then
  logs="$prefix/drive_c/ProgramData/Talvora/Quorvel/logs"
  echo "service-e2e: the agent's log ($logs), last lines:"
  if compgen -G "$logs/*" >/dev/null; then
    tail -n 60 "$logs"/* | sed 's/^/  | /'
  else
    echo "  | (no log files)"
  fi
  echo "service-e2e: FAILED ($passed passed, $failed failed)"
  exit 1
fi
echo "service-e2e: PASSED ($passed checks)"
exit 0
