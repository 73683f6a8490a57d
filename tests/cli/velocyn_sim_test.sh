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

# Errors: usage problems exit 2, failed operations 1, help 0.
[[ "$(status_of "$sim")" == 2 ]] || { echo "FAIL: no command"; failures=$((failures + 1)); }
[[ "$(status_of "$sim" nonsense)" == 2 ]] || { echo "FAIL: unknown command"; failures=$((failures + 1)); }
[[ "$(status_of "$sim" boot "$work/missing")" == 2 ]] || { echo "FAIL: missing machine"; failures=$((failures + 1)); }
[[ "$(status_of "$sim" create "$work/a")" == 1 ]] || { echo "FAIL: create over a machine"; failures=$((failures + 1)); }
[[ "$(status_of "$sim" reg set "$work/a" 'HKLM\SOFTWARE\X' v notanumber --type dword)" == 1 ]] ||
  { echo "FAIL: bad dword"; failures=$((failures + 1)); }
[[ "$(status_of "$sim" reg get "$work/a" 'HKCU\Software')" == 2 ]] || { echo "FAIL: other root"; failures=$((failures + 1)); }
for command in create boot show reg demo; do
  [[ "$(status_of "$sim" "$command" --help)" == 0 ]] || { echo "FAIL: $command --help"; failures=$((failures + 1)); }
done

if [[ $failures -ne 0 ]]; then echo "$failures check(s) failed"; exit 1; fi
echo "all velocyn-sim checks passed"
