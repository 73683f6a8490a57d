#!/usr/bin/env bash
# Drives the velocyn-sim command line the way a user does and checks what it prints and returns.
#   usage: velocyn_sim_test.sh <path to velocyn-sim>
# The boots run the agent executable tlv-velocyn-ga that the build puts beside velocyn-sim.
set -uo pipefail
sim="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() {  # check <description> <command...>: the command must succeed
  local what="$1"; shift
  "$@" || fail "$what"
}
status_of() { "$@" >/dev/null 2>&1; echo $?; }
expect_status() {  # expect_status <status> <description> <command...>
  local want="$1" what="$2"; shift 2
  local got; got="$(status_of "$@")"
  [[ "$got" == "$want" ]] || fail "$what: exit status $got, expected $want"
}
# json_field <json> <python expression over d>: prints the value; fails on text that is not JSON.
json_field() { python3 -c 'import json,sys; d=json.loads(sys.argv[1]); print(eval(sys.argv[2]))' "$1" "$2"; }
ensure() {  # ensure <description> <actual> <expected>
  [[ "$2" == "$3" ]] || fail "$1: got '$2', expected '$3'"
}
snapshot() { (cd "$1" && find . -path ./run -prune -o -type f -print0 | sort -z | xargs -0 sha256sum); }
agent="$(dirname "$sim")/tlv-velocyn-ga"

# --- A golden image before its first boot: the agent decides Master, and showing changes nothing. ----
check "create golden image" "$sim" create "$work/g" --golden-image >/dev/null
before="$(snapshot "$work/g")"
json="$("$sim" show "$work/g" --json)"
check "show --json is valid JSON" python3 -m json.tool <<<"$json" >/dev/null
ensure "golden image role" "$(json_field "$json" 'd["role"]')" "Master"
ensure "golden image customization type" "$(json_field "$json" 'd["customizationType"]')" "Universalprep"
ensure "golden image flags" "$(json_field "$json" '(d["flags"], d["flagsText"])')" "(0, 'CUSTOMIZATION_FLAG_NONE')"
ensure "golden image BootExecute" "$(json_field "$json" 'd["bootExecute"]')" "['autocheck autochk *']"
ensure "golden image markers" "$(json_field "$json" '[(m["name"], m.get("number")) for m in d["markers"]]')" \
  "[('GoldenImage', 1)]"
ensure "no power request" "$(json_field "$json" 'd["powerRequest"]')" "None"
service="$(json_field "$json" '[k["values"] for k in d["registry"] if k["key"].endswith("tlv-velocyn-ga")][0]')"
check "service key ImagePath" grep -qF "'name': 'ImagePath', 'type': 'REG_EXPAND_SZ', 'data': '\"C:\\\\Program Files\\\\Talvora\\\\Quorvel\\\\Velocyn Agent\\\\tlv-velocyn-ga.exe\"'" <<<"$service"
check "service key Type and Start" grep -qF "'Type', 'type': 'REG_DWORD', 'data': '16 (0x10)'}, {'name': 'Start', 'type': 'REG_DWORD', 'data': '2 (0x2)'" <<<"$service"
check "show text names the role" grep -qx 'role: *Master (master)' <<<"$("$sim" show "$work/g")"
# Deciding Master remembers the MAC address in a real boot; the inspection's boot is thrown away.
ensure "show leaves the machine as it was" "$(snapshot "$work/g")" "$before"
expect_status 2 "shutdown delay only with a golden image" "$sim" create "$work/x" --shutdown-delay 10
check "golden image with a shutdown delay" "$sim" create "$work/d" --golden-image --shutdown-delay 2000 >/dev/null
check "shutdown delay is set" grep -q 'ServiceShutdownDelay  REG_DWORD  2000 (0x7D0)' \
  <<<"$("$sim" reg get "$work/d" 'HKLM\SOFTWARE\Talvora\Quorvel\Velocyn Agent\ga')"

# --- The role, flags, status and markers as the agent reads them from guestinfo and the registry. ----
check "create blank" "$sim" create "$work/b" >/dev/null
role_of() { json_field "$("$sim" show "$1" --json --lines 0)" 'd["role"]'; }
ensure "blank machine" "$(role_of "$work/b")" "Master"
"$sim" guestinfo set "$work/b" it 1
ensure "internal template" "$(role_of "$work/b")" "Internal template"
"$sim" guestinfo set "$work/b" ngaFork 1
"$sim" guestinfo set "$work/b" forked 1
ensure "forked, not yet seen by the boot-time agent" "$(role_of "$work/b")" "Undetermined"
"$sim" guestinfo set "$work/b" forked ""
"$sim" guestinfo set "$work/b" it ""
"$sim" guestinfo set "$work/b" AgentCustomizationFlags 2176
"$sim" guestinfo set "$work/b" parent.CustomizationState running
"$sim" reg set "$work/b" 'HKLM\SOFTWARE\Talvora\Quorvel\Velocyn Agent\ga' ParentRenamed 1 --type dword
"$sim" reg set "$work/b" 'HKLM\SYSTEM\CurrentControlSet\services\tlv-velocyn-ga' PolicyState 0 --type dword
"$sim" reg set "$work/b" 'HKLM\SYSTEM\CurrentControlSet\services\tlv-velocyn-ga' NotifyHaldenStatusValue 1 --type dword
json="$("$sim" show "$work/b" --json)"
check "show --json of a parent is valid JSON" python3 -m json.tool <<<"$json" >/dev/null
ensure "parent" "$(json_field "$json" 'd["role"]')" "Parent"
ensure "flags as number and text" "$(json_field "$json" '(d["flags"], d["flagsText"])')" \
  "(2176, 'CUSTOMIZATION_FLAG_SYSPREP | CUSTOMIZATION_FLAG_SYSPREP_DOMAIN_JOIN')"
ensure "sysprep flag decides the type" "$(json_field "$json" 'd["customizationType"]')" "Sysprep"
ensure "status of the role" "$(json_field "$json" 'd["status"]')" \
  "{'variable': 'parent.CustomizationState', 'value': 'running'}"
ensure "sibling status" "$(json_field "$json" 'd["siblingStatus"]')" "{'value': 1, 'text': 'CustomizationInProgress'}"
ensure "PolicyState" "$(json_field "$json" 'd["policyState"]["value"]')" "0"
ensure "markers that are set" "$(json_field "$json" '[m["name"] for m in d["markers"]]')" \
  "['ParentRenamed', 'PolicyState']"
ensure "no BootExecute on a blank machine" "$(json_field "$json" 'd["bootExecute"]')" "None"

# --- Registry values set from the command line are durable and typed. ----
key='HKLM\SOFTWARE\Talvora\Quorvel\Velocyn Agent\ga'
check "reg set dword" "$sim" reg set "$work/b" "$key" ServiceShutdownDelay 0x1F4 --type dword
check "reg get dword" grep -qx 'ServiceShutdownDelay  REG_DWORD  500 (0x1F4)' \
  <<<"$("$sim" reg get "$work/b" "$key" servicesHUTDOWNdelay)"
check "reg set multi_sz" "$sim" reg set "$work/b" "$key" List 'a b;c' --type multi_sz
check "reg get multi_sz" grep -qx 'List  REG_MULTI_SZ  a b; c' <<<"$("$sim" reg get "$work/b" "$key" List)"
check "reg delete" "$sim" reg delete "$work/b" "$key" ServiceShutdownDelay
expect_status 1 "deleted value" "$sim" reg get "$work/b" "$key" ServiceShutdownDelay
expect_status 1 "missing key" "$sim" reg get "$work/b" 'HKLM\SOFTWARE\Nothing'
expect_status 1 "bad dword" "$sim" reg set "$work/b" 'HKLM\SOFTWARE\X' v notanumber --type dword
expect_status 2 "unknown registry type" "$sim" reg set "$work/b" 'HKLM\SOFTWARE\X' v 1 --type qword
expect_status 2 "other root" "$sim" reg get "$work/b" 'HKCU\Software'

# --- Guestinfo lives on the hypervisor side: set without a boot, shown by show. ----
check "guestinfo set with blanks" "$sim" guestinfo set "$work/b" guestinfo.hostName "DESKTOP 42"
ensure "guestinfo get" "$("$sim" guestinfo get "$work/b" hostName)" "DESKTOP 42"
check "guestinfo list" grep -qx 'ngaFork = 1' <<<"$("$sim" guestinfo list "$work/b")"
json="$("$sim" guestinfo list "$work/b" --json)"
check "guestinfo list --json is valid JSON" python3 -m json.tool <<<"$json" >/dev/null
ensure "guestinfo list --json" "$(json_field "$json" 'd["hostName"]')" "DESKTOP 42"
expect_status 1 "missing guestinfo" "$sim" guestinfo get "$work/b" missing
expect_status 1 "bad guestinfo name" "$sim" guestinfo set "$work/b" "bad name" x
expect_status 2 "guestinfo usage" "$sim" guestinfo frob "$work/b"
echo "2026-01-01T00:00:00.000Z | guest| 'Windows guest customization starts.'" >>"$work/b/hypervisor/hypervisor.log"
json="$("$sim" show "$work/b" --json --lines 1)"
ensure "show carries guestinfo" "$(json_field "$json" 'd["guestinfo"]["hostName"]')" "DESKTOP 42"
check "show carries the hypervisor log" grep -q "Windows guest customization starts" \
  <<<"$(json_field "$json" 'd["hypervisorLog"]')"

# The log tail comes from the agent's newest debug file, lines without their CR.
logs="$work/b/drive_c/ProgramData/Talvora/Quorvel/logs"
mkdir -p "$logs"
printf 'old 1\r\nold 2\r\n' >"$logs/debug-2026-01-01-000000.txt"
printf 'new 1\r\nnew 2\r\nnew 3\r\n' >"$logs/debug-2026-01-02-000000.txt"
printf 'main\r\n' >"$logs/log-2026-01-03-000000.txt"
json="$("$sim" show "$work/b" --json --lines 2)"
ensure "log tail" "$(json_field "$json" 'd["logFile"] + " " + "|".join(d["log"])')" \
  'C:\ProgramData\Talvora\Quorvel\logs\debug-2026-01-02-000000.txt new 2|new 3'

# --- Usage errors exit 2, failed operations 1, help 0. ----
expect_status 2 "no command" "$sim"
expect_status 2 "unknown command" "$sim" nonsense
expect_status 2 "missing machine" "$sim" boot "$work/missing"
expect_status 2 "unknown option" "$sim" show "$work/g" --frob
expect_status 2 "option without its value" "$sim" show "$work/g" --lines
expect_status 2 "bad --lines" "$sim" show "$work/g" --lines many
expect_status 2 "bad --time-scale" "$sim" boot "$work/g" --time-scale 0
expect_status 2 "bad --power-cut-at" "$sim" boot "$work/g" --power-cut-at soon
expect_status 2 "the old --power-cut" "$sim" boot "$work/g" --power-cut
expect_status 2 "control without a time" "$sim" boot "$work/g" --control stop
expect_status 2 "unknown scheduled control" "$sim" boot "$work/g" --control halt@100
expect_status 2 "bad --timeout" "$sim" boot "$work/g" --timeout 0
expect_status 2 "unknown control" "$sim" control "$work/g" halt
expect_status 1 "control without a running boot" "$sim" control "$work/g" stop
expect_status 1 "create over a machine" "$sim" create "$work/g"
mkdir -p "$work/other" && touch "$work/other/file"
expect_status 1 "create --force over a directory that is no machine" "$sim" create "$work/other" --force
[[ -e "$work/other/file" ]] || fail "create --force removed a directory that was no machine"
expect_status 1 "boot of a machine without the agent" "$sim" boot "$work/b"
check "the error says how to install the agent" grep -q -- "--golden-image" <<<"$("$sim" boot "$work/b" 2>&1)"
expect_status 0 "velocyn-sim --help" "$sim" --help
for command in create boot control show reg guestinfo demo; do
  out="$("$sim" "$command" --help)" || fail "$command --help"
  grep -q "^  $command " <<<"$out" || fail "$command --help describes $command"
done

# --- Boots with the agent process. ----
if [[ ! -x "$agent" ]]; then
  fail "no agent executable beside velocyn-sim ($agent)"
else
  # Master: the agent puts the boot-time agent into BootExecute and stops itself after the shutdown delay.
  out="$("$sim" boot "$work/g" --json)" || fail "boot of the golden image"
  check "boot --json is valid JSON" python3 -m json.tool <<<"$out" >/dev/null
  ensure "golden image boot ends with the service stopped" "$(json_field "$out" 'd["endedBy"]')" "service stopped"
  ensure "states reported" "$(json_field "$out" 'd["states"][-1]')" "SERVICE_STOPPED"
  json="$("$sim" show "$work/g" --json)"
  ensure "role after the boot" "$(json_field "$json" 'd["role"]')" "Master"
  ensure "boot-time agent added to BootExecute" \
    "$(json_field "$json" 'd["bootExecute"][0] + " / " + str(d["bootExecute"][-1].endswith("System32\\talvora-qx-nga.exe"))')" \
    "autocheck autochk * / True"
  check "show carries the agent's log" test "$(json_field "$json" 'len(d["log"])')" -gt 0

  # A power cut at a machine time ends the boot there.
  check "create for a power cut" "$sim" create "$work/p" --golden-image >/dev/null
  out="$("$sim" boot "$work/p" --power-cut-at 1 --json)" || fail "boot with a power cut"
  ensure "power cut ends the boot" "$(json_field "$out" 'd["endedBy"]')" "power cut"

  # A control sent from another process reaches the running boot: a long shutdown delay keeps it running.
  check "create for controls" "$sim" create "$work/c" --golden-image --shutdown-delay 3600000 --time-scale 100 >/dev/null
  "$sim" boot "$work/c" --timeout 60 >"$work/c.out" 2>&1 &
  boot_pid=$!
  for _ in $(seq 100); do [[ -S "$(cat "$work/c/run/boot.socket" 2>/dev/null)" ]] && break; sleep 0.1; done
  # Controls reach the service once it reports running; until then the boot says to try again.
  for _ in $(seq 100); do "$sim" control "$work/c" interrogate >/dev/null 2>&1 && break; sleep 0.1; done
  check "interrogate a running boot" "$sim" control "$work/c" interrogate >/dev/null
  check "stop a running boot" "$sim" control "$work/c" stop >/dev/null
  wait "$boot_pid" || fail "boot that was stopped: $(cat "$work/c.out")"
  check "a stop control ends the boot" grep -q "ended by service stopped" "$work/c.out"

  # An agent that faults leaves its report in the log and a dump; boot and show say so. Under
  # AddressSanitizer the sanitizer owns the fault signals and ends the agent itself: nothing to check.
  # (The text is taken whole: grep -q would leave ldd writing into a closed pipe, which pipefail counts.)
  if [[ "$(ldd "$agent" 2>/dev/null)" == *libasan* ]]; then
    echo "skipped the crash checks: AddressSanitizer owns SIGSEGV in this build"
  else
  check "create for a crash" "$sim" create "$work/crash" --golden-image >/dev/null
  check "plan the agent's fault" "$sim" fault set "$work/crash" AgentFault=BootExecute
  expect_status 1 "a boot that crashes fails" "$sim" boot "$work/crash"
  out="$("$sim" boot "$work/crash" --json 2>/dev/null)"
  ensure "the crash ends the boot" "$(json_field "$out" 'd["endedBy"]')" "crash"
  ensure "the boot gives the report's first line" "$(json_field "$out" 'd["crashReport"].startswith("Program ")')" "True"
  json="$("$sim" show "$work/crash" --json)"
  ensure "show gives the last crash" "$(json_field "$json" 'd["lastCrash"].startswith("Program ")')" "True"
  ensure "one dump per crashed boot" "$(json_field "$json" 'len(d["dumps"])')" "2"
  check "show says ended by crash" grep -q "ended by crash: Program " <<<"$("$sim" show "$work/crash")"
  fi
fi

# --- A running boot's power is cut from another process. ----------------------------------------------
check "create for a power cut" "$sim" create "$work/pc" --golden-image --shutdown-delay 3600000 --time-scale 100 >/dev/null
"$sim" boot "$work/pc" --timeout 60 >"$work/pc.out" 2>&1 &
boot_pid=$!
for _ in $(seq 100); do [[ -S "$(cat "$work/pc/run/boot.socket" 2>/dev/null)" ]] && break; sleep 0.1; done
check "cut the power of a running boot" "$sim" power-cut "$work/pc" >/dev/null
wait "$boot_pid" || fail "boot whose power was cut: $(cat "$work/pc.out")"
check "the cut ends the boot" grep -q "ended by power cut" "$work/pc.out"
expect_status 1 "no boot to cut" "$sim" power-cut "$work/pc"

# --- Network adapters and the fault plan. ---------------------------------------------------------------
check "create for the network" "$sim" create "$work/n" >/dev/null
check "add a second adapter" "$sim" net add "$work/n" Ethernet1 >/dev/null
expect_status 1 "adding an adapter twice" "$sim" net add "$work/n" Ethernet1
json="$("$sim" net list "$work/n" --json)"
check "net list --json is valid JSON" python3 -m json.tool <<<"$json" >/dev/null
ensure "the default adapter and the added one" "$(json_field "$json" '[a["friendlyName"] for a in d["adapters"]]')" "['Ethernet0', 'Ethernet1']"
expect_status 1 "set on a missing adapter" "$sim" net set "$work/n" NoSuchAdapter dhcp=1
expect_status 2 "unknown net subcommand" "$sim" net frobnicate "$work/n"
check "set a fault" "$sim" fault set "$work/n" NicEnableNeedsReboot=1 BootTimeAgentFails=1
ensure "fault plan lists both" "$("$sim" fault list "$work/n" | sort | tr '\n' ' ')" "BootTimeAgentFails=1 NicEnableNeedsReboot=1 "
check "clear a fault" "$sim" fault clear "$work/n" BootTimeAgentFails
ensure "fault plan after clear" "$("$sim" fault list "$work/n")" "NicEnableNeedsReboot=1"
expect_status 2 "fault set without NAME=VALUE" "$sim" fault set "$work/n" oops

# --- A simulated domain outside the machines, and machines attached to it. --------------------------------
check "domain create" "$sim" domain create "$work/corp" --name corp.example --dc dc1,dc2 --site Site-A \
  --site Site-B:dc3.corp.example >/dev/null
json="$("$sim" domain show "$work/corp" --json)"
check "domain show --json is valid JSON" python3 -m json.tool <<<"$json" >/dev/null
ensure "domain name" "$(json_field "$json" '(d["name"], d["netbiosName"], d["defaultSite"])')" \
  "('corp.example', 'CORP', 'Site-A')"
ensure "controllers by site" "$(json_field "$json" '[(s["name"], s["controllers"]) for s in d["sites"]]')" \
  "[('Site-A', ['dc1.corp.example', 'dc2.corp.example']), ('Site-B', ['dc3.corp.example'])]"
ensure "no accounts yet" "$(json_field "$json" 'd["accounts"]')" "[]"
check "domain show text" grep -qx '  Site-A (default): dc1.corp.example, dc2.corp.example' <<<"$("$sim" domain show "$work/corp")"
# Accounts are listed by name; their passwords are never shown.
printf 'p4ssw0rd-secret' >"$work/corp/accounts/CLONE-01"
out="$("$sim" domain show "$work/corp")$("$sim" domain show "$work/corp" --json)"
check "an account by name" grep -q "computer accounts (1): CLONE-01" <<<"$out"
grep -q "p4ssw0rd" <<<"$out" && fail "domain show printed a password"
check "default site when none is named" "$sim" domain create "$work/corp2" --name Corp2.Example --dc DC1 >/dev/null
ensure "default site" "$(json_field "$("$sim" domain show "$work/corp2" --json)" 'd["sites"]')" \
  "[{'name': 'Default-First-Site-Name', 'controllers': ['DC1.Corp2.Example']}]"
expect_status 2 "domain without a name" "$sim" domain create "$work/d1" --dc dc1
expect_status 2 "domain name with a blank" "$sim" domain create "$work/d1" --name "corp example" --dc dc1
expect_status 2 "domain without a controller" "$sim" domain create "$work/d1" --name corp.example --site Site-A
expect_status 2 "controller with an underscore" "$sim" domain create "$work/d1" --name corp.example --dc dc_1
expect_status 2 "empty controller in a list" "$sim" domain create "$work/d1" --name corp.example --dc dc1,,dc2
expect_status 2 "controller named twice" "$sim" domain create "$work/d1" --name corp.example --dc dc1,DC1
expect_status 2 "bad site name" "$sim" domain create "$work/d1" --name corp.example --dc dc1 --site "Site A"
expect_status 2 "site named twice" "$sim" domain create "$work/d1" --name corp.example --dc dc1 --site A --site a
[[ -e "$work/d1" ]] && fail "a refused domain left a directory behind"
expect_status 1 "domain create over a domain" "$sim" domain create "$work/corp" --name corp.example --dc dc1
expect_status 1 "domain create over other files" "$sim" domain create "$work/other" --name corp.example --dc dc1
expect_status 2 "domain show of no domain" "$sim" domain show "$work/nothing"
expect_status 2 "unknown domain subcommand" "$sim" domain frob "$work/corp"
expect_status 2 "--json with create" "$sim" domain create "$work/d2" --name corp.example --dc dc1 --json
out="$("$sim" domain --help)" || fail "domain --help"
grep -q "^  domain create " <<<"$out" || fail "domain --help describes domain create"
check "create attached to the domain" "$sim" create "$work/m1" --domain "$work/corp" >/dev/null
check "a second machine of the domain" "$sim" create "$work/m2" --domain "$work/corp" >/dev/null
ensure "both name the same domain" "$(grep '^domain=' "$work/m1/membership.conf")" \
  "$(grep '^domain=' "$work/m2/membership.conf")"
expect_status 2 "create in a domain that does not exist" "$sim" create "$work/m3" --domain "$work/nothing"
[[ -e "$work/m3" ]] && fail "a machine was made for a domain that does not exist"

# --- The management side's password step for a clone of a machine in the domain. ------------------------------
json="$("$sim" domain prime "$work/m1" --host CLONE-01 --uuid 4c1f2a9e-57d0 --json)" || fail "domain prime"
ensure "prime --json" "$(json_field "$json" '(d["domain"], d["account"], len(d["variables"]))')" \
  "('corp.example', 'CLONE-01', 5)"
ensure "primed host name" "$("$sim" guestinfo get "$work/m1" hostName)" "CLONE-01"
ensure "primed domain" "$("$sim" guestinfo get "$work/m1" primed.fqdn)" "corp.example"
ensure "primed UUID" "$("$sim" guestinfo get "$work/m1" cloneprep.clone.uuid)" "4c1f2a9e-57d0"
checksum="$("$sim" guestinfo get "$work/m1" machinePasswdChecksum)"
ensure "checksum is Base64 SHA-256" "${#checksum}" "44"
ensure "the account exists" "$(json_field "$("$sim" domain show "$work/corp" --json)" 'd["accounts"]')" "['CLONE-01']"
[[ "$(cat "$work/corp/accounts/CLONE-01" | tr -d '\0')" == "$("$sim" guestinfo get "$work/m1" machinePasswd)" ]] &&
  fail "machinePasswd holds the password in the clear"
out="$("$sim" domain prime "$work/m1" --host CLONE-01 --uuid u1)"
grep -q "^primed .*CLONE-01 in corp.example" <<<"$out" || fail "domain prime text: $out"
expect_status 2 "prime without a UUID" "$sim" domain prime "$work/m1" --host CLONE-01
expect_status 2 "prime with a bad host name" "$sim" domain prime "$work/m1" --host clone_01 --uuid u1
expect_status 2 "prime with a host name of digits" "$sim" domain prime "$work/m1" --host 1234 --uuid u1
expect_status 2 "--host with show" "$sim" domain show "$work/corp" --host CLONE-01
"$sim" create "$work/m4" >/dev/null || fail "create outside a domain"
expect_status 1 "prime a machine in no domain" "$sim" domain prime "$work/m4" --host CLONE-02 --uuid u1
expect_status 1 "prime no machine" "$sim" domain prime "$work/nothing" --host CLONE-02 --uuid u1
out="$("$sim" domain --help)" || fail "domain --help"
grep -q "^  domain prime " <<<"$out" || fail "domain --help describes domain prime"

# --- A whole pool: domain, golden image, template, replica, parent and two clones. ----------------------
json="$("$sim" chain "$work/pool" --clones 2 --jobs 2 --json --report "$work/pool.html")" || fail "chain of 2 clones"
check "chain --json is valid JSON" python3 -m json.tool <<<"$json" >/dev/null
ensure "chain machines" "$(json_field "$json" '[m["name"] for m in d["machines"]]')" \
  "['golden', 'it', 'replica', 'parent', 'clone-0001', 'clone-0002']"
ensure "chain statuses" "$(json_field "$json" 'sorted({m["status"] for m in d["machines"]})')" "['success']"
ensure "template boots" "$(json_field "$json" '[b["endedBy"] for b in d["machines"][1]["boots"]]')" \
  "['reboot', 'shutdown']"
ensure "clones hold their names and trust" \
  "$(json_field "$json" '[(m["computerName"], m["trustHolds"], m["policyState"]) for m in d["machines"][4:]]')" \
  "[('POOL-CL0001', True, 0), ('POOL-CL0002', True, 0)]"
grep -q "<table>" "$work/pool.html" || fail "chain --report writes the pool table"
grep -q 'class="boot' "$work/pool.html" || fail "chain --report draws the boots"
expect_status 1 "chain into the same directory without --force" "$sim" chain "$work/pool" --clones 1
expect_status 1 "chain into a machine directory" "$sim" chain "$work/g" --clones 1
expect_status 2 "chain with --clones 0" "$sim" chain "$work/pool2" --clones 0
expect_status 2 "chain with a bad --expect" "$sim" chain "$work/pool2" --expect clone:failed
expect_status 2 "chain with a bad --fault" "$sim" chain "$work/pool2" --fault NoValue
# A prediction that does not come true is a failure; the one that does is not.
expect_status 1 "chain with a wrong prediction" "$sim" chain "$work/pool" --force --clones 1 --expect clone:error
json="$("$sim" chain "$work/pool" --force --clones 1 --persistent-disk 2G --json)" || fail "chain with a persistent disk"
ensure "a clone with a persistent disk" "$(json_field "$json" 'd["machines"][4]["status"]')" "success"
json="$("$sim" disk show "$work/pool/disks/clone-0001" --json)" || fail "disk show of a clone's data disk"
ensure "the clone's data disk is laid out" "$(json_field "$json" '(d["style"], len(d["partitions"]))')" "('gpt', 2)"
expect_status 2 "chain with a bad --persistent-disk" "$sim" chain "$work/pool2" --persistent-disk lots
# Machine time that jumps over the waits ends every machine as scaled time does, and publishes its jumps.
json="$("$sim" chain "$work/mpool" --clones 2 --jobs 2 --time-scale max --json)" || fail "chain with --time-scale max"
ensure "chain --time-scale max statuses" "$(json_field "$json" 'sorted({m["status"] for m in d["machines"]})')" "['success']"
[ -s "$work/mpool/clone-0001/run/clock" ] || fail "a boot with --time-scale max publishes its jumps"
expect_status 2 "chain with --time-scale fast" "$sim" chain "$work/pool2" --time-scale fast
expect_status 2 "create with --time-scale max (a machine keeps a number)" "$sim" create "$work/m2" --time-scale max
expect_status 0 "chain with a fault and its prediction" "$sim" chain "$work/pool" --force --clones 1 \
  --fault clone:BootTimeAgentFails=1 --expect clone:error:6
# A Sysprep pool: Windows setup generalizes, specializes and finishes each clone; snapshot and power cycle.
json="$("$sim" chain "$work/spool" --flavour sysprep --clones 2 --jobs 2 --time-scale 100 --json)" || fail "sysprep chain of 2 clones"
ensure "sysprep chain statuses" "$(json_field "$json" '[m["status"] for m in d["machines"]]')" \
  "['success', 'success', 'CustomizationBegin', '', 'success', 'success']"
ensure "sysprep clones hold their names and trust" \
  "$(json_field "$json" '[(m["computerName"], m["trustHolds"], m["policyState"]) for m in d["machines"][4:]]')" \
  "[('POOL-CL0001', True, 0), ('POOL-CL0002', True, 0)]"
# generalize and specialize restart the clone; the third start asks for the snapshot, the fourth completes.
ensure "a sysprep clone's boots" "$(json_field "$json" '[b["endedBy"] for b in d["machines"][4]["boots"]][:2] + [len(d["machines"][4]["boots"])]')" \
  "['reboot', 'reboot', 4]"
expect_status 0 "a sysprep clone whose generalize fails" "$sim" chain "$work/spool" --force --flavour sysprep \
  --clones 1 --fault clone:SetupPhaseFails=generalize --expect clone:error:17

# --- A Universalprep pool: the golden image's template, forked straight into clones. ---------------------
json="$("$sim" chain "$work/upool" --flavour universalprep --clones 2 --jobs 2 --json)" || fail "universalprep chain"
ensure "universalprep machines" "$(json_field "$json" '[m["name"] for m in d["machines"]]')" \
  "['golden', 'it', 'clone-0001', 'clone-0002']"
ensure "universalprep statuses" "$(json_field "$json" 'sorted({m["status"] for m in d["machines"]})')" "['success']"
ensure "universalprep clones hold their names and trust" \
  "$(json_field "$json" '[(m["computerName"], m["trustHolds"], m["policyState"]) for m in d["machines"][2:]]')" \
  "[('POOL-CL0001', True, 0), ('POOL-CL0002', True, 0)]"
ensure "universalprep clone boots: specialize, hand-over, after the snapshot" \
  "$(json_field "$json" 'len(d["machines"][2]["boots"])')" "3"

# --- Data disks outside the machines: made, attached, shown, moved to another machine. ------------------------
check "disk create" "$sim" disk create "$work/data1" --size 1G >/dev/null
json="$("$sim" disk show "$work/data1" --json)" || fail "disk show of an image"
ensure "a blank image" "$(json_field "$json" '(d["size"], d["style"], d["partitions"])')" "(1073741824, 'raw', [])"
check "disk attach" "$sim" disk attach "$work/m4" "$work/data1" --scsi 0:1 >/dev/null
json="$("$sim" disk show "$work/m4" --json)" || fail "disk show of a machine"
ensure "the machine's disks" "$(json_field "$json" '([x["scsi"] for x in d["disks"]], d["letters"]["D:"])')" \
  "(['0:1'], 'cdrom')"
expect_status 1 "the same image twice" "$sim" disk attach "$work/m4" "$work/data1" --scsi 0:2
expect_status 1 "the system disk's slot" "$sim" disk attach "$work/m2" "$work/data1" --scsi 0:0
expect_status 2 "a bad slot" "$sim" disk attach "$work/m4" "$work/data1" --scsi 0:256
expect_status 2 "a disk too small" "$sim" disk create "$work/data2" --size 1M
expect_status 1 "disk create over a disk" "$sim" disk create "$work/data1" --size 1G
check "disk detach" "$sim" disk detach "$work/m4" --scsi 0:1 >/dev/null
expect_status 1 "detach an empty slot" "$sim" disk detach "$work/m4" --scsi 0:1
check "attach to the successor" "$sim" disk attach "$work/m2" "$work/data1" --scsi 0:1 >/dev/null
out="$("$sim" disk --help)" || fail "disk --help"
grep -q "^  disk attach " <<<"$out" || fail "disk --help describes disk attach"

if [[ $failures -ne 0 ]]; then echo "$failures check(s) failed"; exit 1; fi
echo "all velocyn-sim checks passed"
