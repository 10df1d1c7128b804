#!/usr/bin/env bash
# Builds the image parser's libFuzzer target with clang and runs it.
#
#   scripts/fuzz.sh [SECONDS]     default 60
#
# Environment: FUZZ_CXX (default clang++), FUZZ_BUILD (default build-fuzz in the
# repository). Exits non-zero when the target crashes or breaks an invariant; the
# failing input is kept in FUZZ_BUILD/artifacts.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
cxx=${FUZZ_CXX:-$(command -v clang++ || command -v clang++-14 || echo clang++)}
target=$build/fw-image-parser-fuzz

mkdir -p "$build/corpus" "$build/seeds" "$build/artifacts"

"$cxx" -std=c++17 -g -O1 -Wall -Wextra \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$root" \
    "$root/tests/fuzz/FwImageParserFuzz.cpp" \
    "$root/common/Crc32.cpp" "$root/common/FwImageParser.cpp" "$root/common/ImageFormat.cpp" \
    "$root/Platform/Console.cpp" "$root/Platform/pf_platform_posix.cpp" \
    -lpthread -o "$target"

# Seeds: cap bytes, flag byte, then an image.
byte() { printf "\\x$(printf %02x "$1")"; }
be32() {
    byte $((($1 >> 24) & 255)); byte $((($1 >> 16) & 255))
    byte $((($1 >> 8) & 255)); byte $(($1 & 255))
}
field() { printf '%s' "$1"; head -c $(($2 - ${#1})) /dev/zero; }
header() { field VexilImg 12; field Dorvyn 8; be32 "$1"; be32 1; field seed 32; }
image() {
    header 87
    be32 1; be32 3; be32 0x352441C2; printf abc # "abc" and its CRC
    be32 4; be32 0; be32 0                      # an empty block
}
{ byte 255; byte 255; byte 1; image; } > "$build/seeds/good"
{ byte 0; byte 1; byte 0; image; } > "$build/seeds/capped"
{ byte 255; byte 255; byte 0; image; head -c 2048 /dev/zero; } > "$build/seeds/tail"
{ byte 255; byte 255; byte 0; header 60; } > "$build/seeds/header-only"

log=$build/fuzz.log
status=0
"$target" -max_total_time="$seconds" -max_len=8192 -timeout=25 -close_fd_mask=1 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
    "$build/corpus" "$build/seeds" 2> "$log" || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
if [ "$status" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "fuzz: FAILED after ${executions:-?} executions (exit $status); see $log" >&2
    exit "$status"
fi
echo "fuzz: ${executions:-?} executions in ${seconds} s, no failure"
