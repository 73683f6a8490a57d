#!/bin/sh
# Builds the libFuzzer targets with clang and runs the log formatter's fuzzer for a bounded time.
#   scripts/fuzz.sh [seconds]      (default 60)
# FUZZ_BUILD_DIR chooses another build directory than the "fuzz" preset's build/fuzz.
set -eu
seconds="${1:-60}"
case "$seconds" in ''|*[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;; esac
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
cmake --build "$build" --target format_fuzz -j "${FUZZ_JOBS:-2}"

corpus="$build/fuzz-corpus/format"
mkdir -p "$corpus"
# A few seeds in the input layout (limit, argument count, kinds, then UTF-16LE format text); the
# printf format carries them as octal escapes, with "%%" for a percent sign.
printf '\060\002\005%%\000w\000s\000,\000 \0000\000x\000%%\000X\000' >"$corpus/basic"
printf '\100\003\000%%\000-\0000\0008\000.\0003\000d\000%%\000I\0006\0004\000u\000' >"$corpus/flags"
printf '\120\004\001%%\000*\000.\000*\000S\000%%\000p\000' >"$corpus/star"

"$build/fuzz/format_fuzz" -max_total_time="$seconds" -print_final_stats=1 "$corpus"
