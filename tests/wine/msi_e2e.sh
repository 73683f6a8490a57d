#!/usr/bin/env bash
# The agent's Windows Installer package end to end under Wine's msiexec, in a Wine prefix of its own:
# a silent installation, a major upgrade to a higher build while the service runs, a removal while it
# runs, and a reinstallation over the markers left behind. The higher build is made here, in the test's
# temporary folder: the packaged image with its version resource's build number raised by one, packaged
# by the same script as the build's package. The whole run is one Wine session: the controller program
# (tests/programs/velocyn_msi_e2e.cpp) is the prefix's first and only program, because the service
# control manager ends with the session's last process.
#   usage: tests/wine/msi_e2e.sh <package.msi> <its stripped tlv-velocyn-ga.exe> <velocyn-msi-actions.dll>
#          <velocyn_msi_e2e.exe>
# Prints one "msi-e2e: PASS|FAIL <check>" line per check and a summary; exits non-zero on failure.
# MSI_E2E_TIMEOUT (seconds, default 480) bounds the run; MSI_E2E_KEEP=1 keeps the Wine prefix.
set -uo pipefail

if [[ $# -ne 4 ]]; then
  echo "usage: $0 <package.msi> <its stripped tlv-velocyn-ga.exe> <velocyn-msi-actions.dll> <velocyn_msi_e2e.exe>" >&2
  exit 2
fi
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
for argument in "$@"; do
  if [[ ! -f "$argument" ]]; then
    echo "msi-e2e: FAIL no such file: $argument" >&2
    exit 2
  fi
done
package="$(realpath "$1")"
image="$(realpath "$2")"
actions="$(realpath "$3")"
controller="$(realpath "$4")"

# shellcheck source=scripts/wine-common.sh
source "$here/../../scripts/wine-common.sh"
wine_setup msi-e2e velocyn-msi
child=""
work="$prefix.work"
cleanup() {
  WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true
  if [[ "${MSI_E2E_KEEP:-0}" == 1 ]]; then
    echo "msi-e2e: kept $prefix and $work"
  else
    rm -rf "$prefix" "$work"
  fi
}
trap cleanup EXIT
trap 'if [[ -n "$child" ]]; then kill "$child" 2>/dev/null || true; fi; exit 130' INT TERM HUP
mkdir -p "$work"

# The whole file system is drive Z: in a new prefix.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

first_version="$(msiinfo export "$package" Property | tr -d '\r' | awk -F '\t' '$1 == "ProductVersion" { print $2 }')"
if [[ ! "$first_version" =~ ^([0-9]+\.[0-9]+\.[0-9]+)\.([0-9]+)$ ]]; then
  echo "msi-e2e: FAIL the package's ProductVersion is not a.b.c.d: '$first_version'"
  exit 1
fi
build="${BASH_REMATCH[2]}"
if ((build >= 65535)); then
  echo "msi-e2e: FAIL build $build leaves no higher build number to upgrade to"
  exit 1
fi
second_version="${BASH_REMATCH[1]}.$((build + 1))"

# The higher build: the file and product version's last word (low word of the second double word of
# each) raised by one in VS_FIXEDFILEINFO (after the UTF-16 key "VS_VERSION_INFO" and the signature
# 0xFEEF04BD), which is what Windows Installer compares.
mkdir -p "$work/next"
perl -0777 -pe '
  my $key = index($_, join("", map { "$_\0" } split //, "VS_VERSION_INFO"));
  my $at = $key < 0 ? -1 : index($_, pack("V", 0xFEEF04BD), $key);
  die "no version resource\n" if $at < 0;
  for my $field (12, 20) {
    my $ls = unpack("V", substr($_, $at + $field, 4));
    substr($_, $at + $field, 4) = pack("V", $ls + 1);
  }' "$image" >"$work/next/tlv-velocyn-ga.exe" || {
  echo "msi-e2e: FAIL could not make the higher build's image"
  exit 1
}
second="$work/velocyn-agent-$second_version-x64.msi"
if ! bash "$here/../../packaging/windows/build-msi.sh" "$work/next/tlv-velocyn-ga.exe" "$actions" "$second" 2>"$work/build.log"; then
  echo "msi-e2e: FAIL could not build the higher build's package:"
  sed 's/^/  | /' "$work/build.log"
  exit 1
fi

echo "msi-e2e: $(windows_path "$package") ($first_version), then $(windows_path "$second") ($second_version)"
output="$work/out"
timeout --kill-after=10 "${MSI_E2E_TIMEOUT:-480}" "$wine" "$controller" "$(windows_path "$package")" \
  "$first_version" "$(windows_path "$second")" "$second_version" \
  > >(tee "$output") 2> >(grep -v '^wine: ' >&2) &
child=$!
wait "$child"
status=$?
child=""
"$wineserver" -w
sleep 0.2  # the tee of the last lines

passed="$(grep -c '^msi-e2e: PASS ' "$output" 2>/dev/null)"
failed="$(grep -c '^msi-e2e: FAIL ' "$output" 2>/dev/null)"
if [[ $status -eq 124 ]]; then
  echo "msi-e2e: FAIL the run did not finish within ${MSI_E2E_TIMEOUT:-480} s"
  failed=$((failed + 1))
elif [[ $status -ne 0 && $failed -eq 0 ]]; then
  echo "msi-e2e: FAIL the controller ended with exit code $status"
  failed=$((failed + 1))
fi

if [[ $failed -ne 0 ]]; then
  logs="$prefix/drive_c/ProgramData/Talvora/Quorvel/logs"
  echo "msi-e2e: the agent's log ($logs), last lines:"
  if compgen -G "$logs/*" >/dev/null; then
    tail -n 40 "$logs"/* | sed 's/^/  | /'
  else
    echo "  | (no log files)"
  fi
  for log in "$prefix"/drive_c/msi-e2e/*.log; do
    [[ -f "$log" ]] || continue
    echo "msi-e2e: msiexec log $(basename "$log"), actions that failed or asked for a reboot:"
    tr -d '\0\r' <"$log" |  # Wine writes it in ASCII, Windows in UTF-16
      grep -E 'StopAgentService|[Rr]eboot|[Ee]rror|returned [^0]|Return value [^1]' | tail -n 20 | sed 's/^/  | /'
  done
  echo "msi-e2e: FAILED ($passed passed, $failed failed)"
  exit 1
fi
echo "msi-e2e: PASSED ($passed checks)"
exit 0
