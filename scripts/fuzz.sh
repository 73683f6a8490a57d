#!/bin/sh
# Builds the libFuzzer targets with clang and runs every one of them, in turn, for a bounded time.
#   scripts/fuzz.sh [seconds]        (default 60, for each target; CI's short run is "30")
#   scripts/fuzz.sh --minutes M      a longer campaign: M minutes for each target
#   FUZZ_TARGETS="a_fuzz b_fuzz"     only these targets
# Seeds: those written below, and the files under fuzz/corpus/<target name without _fuzz>.
# FUZZ_BUILD_DIR chooses another build directory than the "fuzz" preset's build/fuzz. A target's
# findings (crash-*, timeout-*, leak-*) land in the current directory, as libFuzzer leaves them.
set -eu
usage() { echo "usage: $0 [seconds] | --minutes M" >&2; exit 2; }
if [ "${1:-}" = "--minutes" ]; then
  minutes="${2:-}"
  case "$minutes" in ''|*[!0-9]*) usage ;; esac
  seconds=$((minutes * 60))
else
  seconds="${1:-60}"
fi
case "$seconds" in ''|*[!0-9]*) usage ;; esac
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
if [ -n "${FUZZ_BUILD_DIR:-}" ]; then
  build="$FUZZ_BUILD_DIR"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-14 \
    -DVELOCYN_FUZZ=ON -DVELOCYN_BENCH=OFF >/dev/null
else
  build="$root/build/fuzz"
  cmake --preset fuzz >/dev/null
fi
targets="${FUZZ_TARGETS:-}"
if [ -z "$targets" ]; then
  for source in fuzz/*_fuzz.cpp; do
    targets="$targets $(basename "$source" .cpp)"
  done
fi
# shellcheck disable=SC2086
cmake --build "$build" --target $targets -j "${FUZZ_JOBS:-2}"

corpus="$build/fuzz-corpus/format"
mkdir -p "$corpus"
# A few seeds in the input layout (limit, argument count, kinds, then UTF-16LE format text); the
# printf format carries them as octal escapes, with "%%" for a percent sign.
printf '\060\002\005%%\000w\000s\000,\000 \0000\000x\000%%\000X\000' >"$corpus/basic"
printf '\100\003\000%%\000-\0000\0008\000.\0003\000d\000%%\000I\0006\0004\000u\000' >"$corpus/flags"
printf '\120\004\001%%\000*\000.\000*\000S\000%%\000p\000' >"$corpus/star"

corpus="$build/fuzz-corpus/property_bag"
mkdir -p "$corpus"
# The first byte picks the mode (0 parse UTF-8, 1 parse UTF-16, 2 packet stream), then the bytes:
# an empty UTF-8 message; a UTF-16 message with "a"="b" in a nested bag "s"; one framed empty message.
printf '\000\000\004\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000' >"$corpus/empty"
printf '\001\000\010\000\000\000\000\000\000\000\000\000\000\000\000\000\003\000\000\000\006\000\000\000\000\000\000\000\000\000\001\377\377\377\377\000\001\000\000\000\001\000\000\377\377\377\377s\000a\000b\000' >"$corpus/nested"
printf '\002\000\000\000\034\000\010\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000' >"$corpus/framed"

corpus="$build/fuzz-corpus/obfuscation"
mkdir -p "$corpus"
# Two seeds (each ended by a backslash and one more character), then the text or bytes: a password
# obfuscated with host name and clone UUID, and plain padded Base64.
printf 'clone-07\\x4c4c4544-0042-3610-8052-b4c04f4d3232\\xjoU2O/oOgipU' >"$corpus/password"
printf 'a\\xb\\xZm9vYg==' >"$corpus/padded"
corpus="$build/fuzz-corpus/dns_name"
mkdir -p "$corpus"
# UTF-16LE text: a controller name as Netlogon writes it, and one with a blank that must be refused.
printf 'c\000o\000r\000p\000.\000e\000x\000\\\000d\000c\0001\000' >"$corpus/controller"
printf 'p\000c\000 \0001\000' >"$corpus/blank"

corpus="$build/fuzz-corpus/port_channel"
mkdir -p "$corpus"
# A command length, then what a hostile hypervisor answers, register by register (eax ebx ecx edx esi
# edi, little-endian): an open refused; an open accepted (status 0x0100 in ecx's high word) and a send
# that is answered "saved mid-transfer" (0x0400) for ever.
printf '\004\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000' >"$corpus/refused"
printf '\010\000\000\000\000\000\000\000\000\000\000\000\001\000\000\001\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\000\004\000\000\000\000\000\000\000\000\000\000\000\000\000\000' >"$corpus/checkpoint"

corpus="$build/fuzz-corpus/guestinfo_reply"
mkdir -p "$corpus"
# An operation byte (low bits: which read or write; 0x80: the exchange itself fails), then the reply.
printf '\0011 running' >"$corpus/value"
printf '\0030 No value found' >"$corpus/refused"
printf '\0041 1' >"$corpus/state"
printf '\0001 ' >"$corpus/empty"
printf '\2011 x' >"$corpus/failed"

status=0
for target in $targets; do
  name="${target%_fuzz}"
  mkdir -p "$build/fuzz-corpus/$name"
  # The seeds kept in the repository (fuzz/corpus/<name>) join the working corpus.
  if [ -d "fuzz/corpus/$name" ]; then cp -f "fuzz/corpus/$name"/* "$build/fuzz-corpus/$name"/; fi
  echo "== $target: $seconds s"
  "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 "$build/fuzz-corpus/$name" || status=1
done
exit "$status"
