#!/usr/bin/env bash
# Drives the velocyn-sim command line the way a user does and checks what it prints and returns.
#   usage: velocyn_sim_test.sh <path to velocyn-sim>
set -uo pipefail
sim="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # check <description> <command...>: the command must succeed
  local what="$1"; shift
  if ! "$@"; then echo "FAIL: $what"; failures=$((failures + 1)); fi
}
status_of() { "$@" >/dev/null 2>&1; echo $?; }

# A clean boot keeps the support test value; the key map is created.
check "create" "$sim" create "$work/a" >/dev/null
check "boot" "$sim" boot "$work/a" >/dev/null
json="$("$sim" show "$work/a" --json)"
check "show lists the support value" grep -q '"name":"unknownTestValue","type":"REG_DWORD","data":"5 (0x5)"' <<<"$json"
check "show lists the ga key" grep -q 'Velocyn Agent\\\\ga"' <<<"$json"
check "show carries log lines" grep -q 'RunBoot(): Boot ends by shutdown' <<<"$json"

# A power cut loses the write made after the last flush, and only that.
check "create b" "$sim" create "$work/b" >/dev/null
check "boot with power cut" "$sim" boot "$work/b" --power-cut >/dev/null
json="$("$sim" show "$work/b" --json)"
check "flushed key survives" grep -q 'Velocyn Agent\\\\ga"' <<<"$json"
if grep -q unknownTestValue <<<"$json"; then echo "FAIL: unflushed value survived the power cut"; failures=$((failures + 1)); fi

# Registry values set from the command line are durable and typed.
check "reg set dword" "$sim" reg set "$work/a" 'HKLM\SOFTWARE\Talvora\Quorvel\Velocyn Agent\ga' ServiceShutdownDelay 0x1F4 --type dword
out="$("$sim" reg get "$work/a" 'HKLM\SOFTWARE\Talvora\Quorvel\Velocyn Agent\ga' ServiceShutdownDelay)"
check "reg get dword" grep -q 'ServiceShutdownDelay  REG_DWORD  500 (0x1F4)' <<<"$out"
check "reg delete" "$sim" reg delete "$work/a" 'HKLM\SOFTWARE\Talvora\Quorvel\Velocyn Agent\ga' ServiceShutdownDelay
[[ "$(status_of "$sim" reg get "$work/a" 'HKLM\SOFTWARE\Talvora\Quorvel\Velocyn Agent\ga' ServiceShutdownDelay)" == 1 ]] ||
  { echo "FAIL: deleted value still there"; failures=$((failures + 1)); }

# Guestinfo lives on the hypervisor side: set without a boot, kept through a power cut, shown by show.
check "guestinfo set" "$sim" guestinfo set "$work/b" guestinfo.ngaFork 1
check "guestinfo set with blanks" "$sim" guestinfo set "$work/b" hostName "DESKTOP 42"
check "boot b again with power cut" "$sim" boot "$work/b" --power-cut >/dev/null
[[ "$("$sim" guestinfo get "$work/b" hostName)" == "DESKTOP 42" ]] || { echo "FAIL: guestinfo get"; failures=$((failures + 1)); }
check "guestinfo list" grep -qx 'ngaFork = 1' <<<"$("$sim" guestinfo list "$work/b")"
check "guestinfo list json" grep -q '"hostName":"DESKTOP 42"' <<<"$("$sim" guestinfo list "$work/b" --json)"
[[ "$(status_of "$sim" guestinfo get "$work/b" missing)" == 1 ]] || { echo "FAIL: missing guestinfo"; failures=$((failures + 1)); }
[[ "$(status_of "$sim" guestinfo set "$work/b" "bad name" x)" == 1 ]] || { echo "FAIL: bad guestinfo name"; failures=$((failures + 1)); }
[[ "$(status_of "$sim" guestinfo frob "$work/b")" == 2 ]] || { echo "FAIL: guestinfo usage"; failures=$((failures + 1)); }
echo "2026-01-01T00:00:00.000Z | guest| 'Windows guest customization starts.'" >>"$work/b/hypervisor/hypervisor.log"
json="$("$sim" show "$work/b" --json)"
check "show carries guestinfo" grep -q '"guestinfo":{"hostName":"DESKTOP 42","ngaFork":"1"}' <<<"$json"
check "show carries the hypervisor log" grep -q '"hypervisorLog":\[".*Windows guest customization starts' <<<"$json"

# Errors: usage problems exit 2, failed operations 1, help 0.
[[ "$(status_of "$sim")" == 2 ]] || { echo "FAIL: no command"; failures=$((failures + 1)); }
[[ "$(status_of "$sim" nonsense)" == 2 ]] || { echo "FAIL: unknown command"; failures=$((failures + 1)); }
[[ "$(status_of "$sim" boot "$work/missing")" == 2 ]] || { echo "FAIL: missing machine"; failures=$((failures + 1)); }
[[ "$(status_of "$sim" create "$work/a")" == 1 ]] || { echo "FAIL: create over a machine"; failures=$((failures + 1)); }
[[ "$(status_of "$sim" reg set "$work/a" 'HKLM\SOFTWARE\X' v notanumber --type dword)" == 1 ]] ||
  { echo "FAIL: bad dword"; failures=$((failures + 1)); }
[[ "$(status_of "$sim" reg get "$work/a" 'HKCU\Software')" == 2 ]] || { echo "FAIL: other root"; failures=$((failures + 1)); }
for command in create boot show reg demo guestinfo; do
  [[ "$(status_of "$sim" "$command" --help)" == 0 ]] || { echo "FAIL: $command --help"; failures=$((failures + 1)); }
done

if [[ $failures -ne 0 ]]; then echo "$failures check(s) failed"; exit 1; fi
echo "all velocyn-sim checks passed"
