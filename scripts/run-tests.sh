#!/usr/bin/env bash
# The test command: installs what is missing, builds the native, native-asan and win64 presets, runs
# the native tier on both Linux builds and the Wine tier on the cross-build, runs the fuzz smoke when
# the fuzz script is there, and ends with one summary line per tier. Exits non-zero if any tier failed.
#   usage: scripts/run-tests.sh
# JOBS (default 2) sets build and test parallelism; VELOCYN_BUILD_ROOT (default build) is where the
# presets' build directories go.
set -uo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
jobs="${JOBS:-2}"
root="$(mkdir -p "${VELOCYN_BUILD_ROOT:-build}" && cd "${VELOCYN_BUILD_ROOT:-build}" && pwd)"
started=$SECONDS
logs="$root/test-logs"

summary=()
failed=0

section() { printf '\n===== %s =====\n' "$*"; }
record() {  # record <tier> <ok|fail> <text>
  summary+=("$1: $3")
  if [[ "$2" != ok ]]; then failed=1; fi
}
elapsed() { local s=$((SECONDS - $1)); printf '%dm%02ds' $((s / 60)) $((s % 60)); }

section "dependencies"
if ! bash scripts/install-deps.sh; then
  echo "run-tests: installing the dependencies failed" >&2
  exit 1
fi
if ! bash scripts/cross-deps.sh; then
  echo "run-tests: preparing the cross-build dependencies failed" >&2
  exit 1
fi
mkdir -p "$logs"

build() {  # build <preset>
  local preset="$1" t=$SECONDS
  section "build $preset"
  if cmake --preset "$preset" -B "$root/$preset" && cmake --build "$root/$preset" -j"$jobs"; then
    echo "run-tests: $preset built in $(elapsed "$t")"
    return 0
  fi
  return 1
}

# Test counts of a ctest run: one ctest test per GoogleTest case.
ctest_tier() {  # ctest_tier <tier name> <preset> <label>
  local tier="$1" preset="$2" label="$3" t=$SECONDS log="$logs/$1.log"
  if ! build "$preset"; then
    record "$tier" fail "build failed"
    return
  fi
  section "test $tier (ctest -L $label)"
  ctest --test-dir "$root/$preset" -L "$label" -j"$jobs" --timeout 120 --output-on-failure 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  local line total failures
  line="$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)"
  if [[ -z "$line" ]]; then
    record "$tier" fail "no tests ran (ctest exit $status)"
    return
  fi
  failures="$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")"
  total="$(sed -E 's/.*failed out of ([0-9]+).*/\1/' <<<"$line")"
  if [[ $status -eq 0 && $failures -eq 0 ]]; then
    record "$tier" ok "$((total - failures)) passed, $failures failed ($(elapsed "$t"))"
  else
    record "$tier" fail "$((total - failures)) passed, $failures failed ($(elapsed "$t"))$(failed_names "$log")"
  fi
}

# The names ctest lists after "The following tests FAILED:", so the summary alone says what broke.
failed_names() {  # failed_names <ctest log>
  local names
  names="$(sed -n '/The following tests FAILED:/,$p' "$1" | grep -oE '^[[:space:]]*[0-9]+ - [^ ]+' |
    sed -E 's/^[[:space:]]*[0-9]+ - //' | head -20 | paste -sd' ' -)"
  [[ -n "$names" ]] && printf ': %s' "$names"
}

# The Wine tier is one ctest test per test program; the counts come from GoogleTest's own summary.
wine_tier() {
  local tier=win32 preset=win64 t=$SECONDS log="$logs/win32.log"
  if ! build "$preset"; then
    record "$tier" fail "build failed"
    return
  fi
  section "test $tier (ctest -L win32, under Wine)"
  ctest --test-dir "$root/$preset" -L win32 -j"$jobs" -V 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  local passed=0 failures=0 n
  for n in $(grep -oE '\[  PASSED  \] [0-9]+ tests?' "$log" | grep -oE '[0-9]+'); do passed=$((passed + n)); done
  for n in $(grep -oE '\[  FAILED  \] [0-9]+ tests?,' "$log" | grep -oE '[0-9]+'); do failures=$((failures + n)); done
  # The service and package end-to-end runs print one line per check.
  passed=$((passed + $(grep -cE '(service|msi)-e2e: PASS ' "$log")))
  failures=$((failures + $(grep -cE '(service|msi)-e2e: FAIL ' "$log")))
  if [[ $status -eq 0 && $failures -eq 0 && $passed -gt 0 ]]; then
    record "$tier" ok "$passed passed, $failures failed ($(elapsed "$t"))"
  elif [[ $passed -eq 0 && $failures -eq 0 ]]; then
    record "$tier" fail "no test results (ctest exit $status, see $log)"
  else
    record "$tier" fail "$passed passed, $failures failed ($(elapsed "$t"))"
  fi
}

ctest_tier native native native
ctest_tier native-asan native-asan native
wine_tier

if [[ -f scripts/fuzz.sh ]]; then
  t=$SECONDS
  section "fuzz smoke (scripts/fuzz.sh 30)"
  if bash scripts/fuzz.sh 30; then
    record fuzz ok "passed ($(elapsed "$t"))"
  else
    record fuzz fail "failed ($(elapsed "$t"))"
  fi
fi

section "summary ($(elapsed "$started"))"
printf '%s\n' "${summary[@]}"
exit "$failed"
