#!/bin/bash
# The real-kernel suite's ARM part: the board's programs, cross-built as the
# README builds them for the board (cmake/arm-linux-gnueabihf.cmake,
# VEXIL_STATIC, no tests) in BUILD_DIR, which stays for the next run, and the
# UBI conformance runner linked from that build's libraries; then run-tests.sh
# runs them on Debian's armmp kernel under qemu-system-arm on nandsim, held
# against what the host tools expect.
#
#   arm-suite.sh --build-dir DIR --image-tool BIN --host-tool BIN [OUT_DIR]
#
# Exit as run-tests.sh: 0 all passed, 1 a failure, 2 usage, 77 cannot run here (skip).
set -euo pipefail

usage() {
    echo "usage: arm-suite.sh --build-dir DIR --image-tool BIN --host-tool BIN [OUT_DIR]" >&2
    exit 2
}
build="" image_tool="" host_tool="" out=""
while (($#)); do
    case $1 in
    --build-dir) build=$2; shift 2 ;;
    --image-tool) image_tool=$2; shift 2 ;;
    --host-tool) host_tool=$2; shift 2 ;;
    -*) usage ;;
    *) out=$1; shift ;;
    esac
done
[[ -n $build && -x $image_tool && -x $host_tool ]] || usage

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
cross=arm-linux-gnueabihf-

skip() { echo "arm-suite: SKIP: $*" >&2; exit 77; }

# The cross compiler and the board's libsodium (Debian's armhf package).
missing=()
for p in g++-arm-linux-gnueabihf libsodium-dev:armhf zlib1g-dev:armhf libubootenv-dev:armhf; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    [[ $(id -u) == 0 ]] || skip "packages missing (${missing[*]}) and not root to install them"
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
        dpkg --add-architecture armhf
        apt-get update -q >&2 || skip "apt-get update failed"
    fi
    "$repo/scripts/apt-retry.sh" apt-get install -y -q --no-install-recommends "${missing[@]}" || skip "apt-get install ${missing[*]} failed"
fi

cmake -S "$repo" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/arm-linux-gnueabihf.cmake" \
    -DVEXIL_STATIC=ON -DVEXIL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target VexilImageInstaller vexil-slots >/dev/null

# The board build has no tests; the conformance runner is its few sources
# over the build's own flash library.
conformance=$build/ubi-conformance
libs=("$build/common/linuxFlash/libvexil_flash.a" "$build/Trace/libvexil_trace.a"
    "$build/StringTool/libvexil_stringtool.a" "$build/Platform/libvexil_platform.a")
if [[ ! -x $conformance || -n $(find "$repo/tests/kernel/conformance_main.cpp" \
    "$repo/tests/kernel/ConformanceReport.h" "$repo/tests/conformance" "${libs[@]}" \
    -newer "$conformance" -print -quit) ]]; then
    "${cross}g++" -std=c++17 -O2 -Wall -Wextra -Werror -Wno-psabi -D_FILE_OFFSET_BITS=64 -static \
        -I"$repo" -I"$repo/tests" -o "$conformance.tmp" "$repo/tests/kernel/conformance_main.cpp" \
        "$repo/tests/conformance/UbiConformance.cpp" -Wl,--start-group "${libs[@]}" \
        -Wl,--end-group -pthread
    mv "$conformance.tmp" "$conformance"
fi

exec "$here/run-tests.sh" --arch armhf --installer "$build/common/VexilImageInstaller" \
    --slots "$build/common/vexil-slots" --conformance "$conformance" \
    --image-tool "$image_tool" --host-tool "$host_tool" ${out:+"$out"}
