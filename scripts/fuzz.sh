#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the image parser, the key file
# parsers, the signed description, the installer against vexil-image's verdict)
# and runs them one after the other within SECONDS in all: a third for the
# parser and for the verdict, a sixth each for the key files and the
# description.
#
#   scripts/fuzz.sh [SECONDS]     default 60
#
# Environment: FUZZ_CXX (default clang++), FUZZ_BUILD (default build-fuzz in the
# repository). Exits non-zero when a target crashes or breaks an invariant; the
# failing input is kept in FUZZ_BUILD/artifacts.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
cxx=${FUZZ_CXX:-$(command -v clang++ || command -v clang++-14 || echo clang++)}
target=$build/fw-image-parser-fuzz
key_target=$build/trusted-key-fuzz
verdict_target=$build/install-verdict-fuzz
description_target=$build/description-fuzz
key_seconds=$((seconds / 6 > 0 ? seconds / 6 : 1))
description_seconds=$key_seconds
verdict_seconds=$((seconds / 3 > 0 ? seconds / 3 : 1))
parser_seconds=$((seconds - 2 * key_seconds - verdict_seconds > 0 ? seconds - 2 * key_seconds - verdict_seconds : 1))

mkdir -p "$build/corpus" "$build/seeds" "$build/corpus-keys" "$build/seeds-keys" \
    "$build/corpus-verdict" "$build/seeds-verdict" "$build/corpus-description" \
    "$build/seeds-description" "$build/artifacts"

compile() {
    "$cxx" -std=c++17 -g -O1 -Wall -Wextra \
        -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
        -I"$root" "$@"
}
compile "$root/tests/fuzz/FwImageParserFuzz.cpp" \
    "$root/common/Crc32.cpp" "$root/common/FwImageParser.cpp" "$root/common/ImageFormat.cpp" \
    "$root/Platform/Console.cpp" "$root/Platform/pf_platform_posix.cpp" \
    "$root/Platform/Transcript.cpp" "$root/StringTool/StringTool.cpp" -lpthread -o "$target"
compile "$root/tests/fuzz/TrustedKeyFuzz.cpp" "$root/common/SigningKeys.cpp" \
    -lsodium -o "$key_target"
# The installer and everything under it, without the programs' mains.
library=$(ls "$root"/common/*.cpp "$root"/common/linuxFlash/*.cpp "$root"/sim/*.cpp \
    "$root"/Trace/*.cpp "$root"/Platform/*.cpp "$root"/StringTool/*.cpp | grep -v "Main\.cpp$")
# shellcheck disable=SC2086
compile "$root/tests/fuzz/InstallVerdictFuzz.cpp" $library -lsodium -lubootenv -lz -lpthread -o "$verdict_target"
# shellcheck disable=SC2086
compile "$root/tests/fuzz/DescriptionFuzz.cpp" $library -lsodium -lubootenv -lz -lpthread -o "$description_target"

# Seeds: cap bytes, flag byte, then an image.
byte() { printf "\\x$(printf %02x "$1")"; }
be32() {
    byte $((($1 >> 24) & 255)); byte $((($1 >> 16) & 255))
    byte $((($1 >> 8) & 255)); byte $(($1 & 255))
}
field() { printf '%s' "$1"; head -c $(($2 - ${#1})) /dev/zero; }
header() { field VexilImg 12; field Dorvyn 8; be32 "$1"; be32 1; field "${text:-seed}" 32; }
image() {
    header 87
    be32 1; be32 3; be32 0x352441C2; printf abc # "abc" and its CRC
    be32 4; be32 0; be32 0                      # an empty block
}
{ byte 255; byte 255; byte 1; image; } > "$build/seeds/good"
{ byte 0; byte 1; byte 0; image; } > "$build/seeds/capped"
{ byte 255; byte 255; byte 0; image; head -c 2048 /dev/zero; } > "$build/seeds/tail"
{ byte 255; byte 255; byte 0; header 60; } > "$build/seeds/header-only"
# Beginning with a description block ("VDSC", 178 bytes of one entry, its CRC
# right), whole and cut short.
descblock() { be32 0x56445343; be32 178; be32 0x44ABD7EB; head -c 178 /dev/zero | tr '\0' '\1'; }
{ byte 255; byte 255; byte 0; header 265; descblock; be32 1; be32 3; be32 0x352441C2; printf abc; } \
    > "$build/seeds/signed"
head -c 150 "$build/seeds/signed" > "$build/seeds/signed-cut"

# Verdict seeds: a flag byte (1 trust store, 2 sign, 4 then flip), a byte, an image
# with all three slot blocks.
slots() {
    header $((60 + 3 * 12 + 3 + 1 + 5))
    be32 1; be32 3; be32 0x352441C2; printf abc
    be32 3; be32 1; be32 0xE8B7BE43; printf a
    be32 4; be32 5; be32 0x8587D865; printf abcde
}
for flags in 0 1 2 3 7; do { byte $flags; byte 9; slots; } > "$build/seeds-verdict/slots-$flags"; done
# Header text is echoed: it must not pass for the installer's own last line.
{ byte 0; byte 9; text="install stopped: x" slots; } > "$build/seeds-verdict/echo"

# Description seeds: three entries (kernel, devicetree, rootfs) to be signed, and
# the same bytes as a raw payload.
entries() { be32 1; be32 3; be32 0x352441C2; be32 3; be32 1; be32 0xE8B7BE43; be32 4; be32 5; be32 0x8587D865; }
{ byte 1; entries; } > "$build/seeds-description/signed"
{ byte 0; byte 1; head -c 8 /dev/zero; head -c 60 /dev/zero; byte 1; entries; head -c 96 /dev/zero; } \
    > "$build/seeds-description/raw"

# Key file seeds: RFC 8032's first Ed25519 test key.
key_id=b3f39d3b985a7db0
printf 'vexil-ed25519-public %s %s\n' $key_id 7Bcrk61eVjv0kyxw4SRQNMNUZ+8u/U1k6/gZaDRn4r8= \
    > "$build/seeds-keys/public"
printf 'vexil-ed25519-secret %s %s%s\n' $key_id \
    gz/mJAkje51i7HdYdSCRHpp1nOwdGXVbfakBuW3KPULsFyuTrV5WO/STLHDhJFA0w1Rn7y79 \
    TWTr+BloNGfivw== > "$build/seeds-keys/secret"

# run NAME BINARY SECONDS MAX_LEN CORPUS SEEDS
run() {
    local log=$build/fuzz-$1.log status=0 executions
    "$2" -max_total_time="$3" -max_len="$4" -timeout=25 -close_fd_mask=1 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
        "$5" "$6" 2> "$log" || status=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$log" >&2
        echo "fuzz: $1 FAILED after ${executions:-?} executions (exit $status); see $log" >&2
        exit "$status"
    fi
    echo "fuzz: $1: ${executions:-?} executions in $3 s, no failure"
}
run fw-image-parser "$target" "$parser_seconds" 8192 "$build/corpus" "$build/seeds"
# A little past the 4096 bytes a key file may have.
run trusted-key "$key_target" "$key_seconds" 4200 "$build/corpus-keys" "$build/seeds-keys"
run install-verdict "$verdict_target" "$verdict_seconds" 70000 "$build/corpus-verdict" \
    "$build/seeds-verdict"
run description "$description_target" "$description_seconds" 3000 "$build/corpus-description" \
    "$build/seeds-description"
