#!/usr/bin/env bash
# The ARM install benchmark: the board's static programs (built as
# scripts/bench.sh builds the ARM benchmark, in BUILD_DIR) in the real-kernel
# suite's ARM VM, Debian's armmp kernel under qemu-system-arm on nandsim with
# the given timing, running bench/arm-guest.sh on scripts/bench.sh's images.
# Prints the section for RESULTS.md; what the VM measured stays in
# WORK/vm-armhf-nandsim/. Exit 77 when the ARM VM cannot run here.
#
#   bench/arm-vm.sh WORK BUILD_DIR NAND_TIMING
#
# WORK holds bench.sh's config.sh, IMAGE.img for each image, SIGNED-signed.img
# and release.pub.
set -euo pipefail
cd "$(dirname "$0")/.."

(($# == 3)) || { echo "usage: bench/arm-vm.sh WORK BUILD_DIR NAND_TIMING" >&2; exit 2; }
work=$1 build=$2 nand_timing=$3
cross=arm-linux-gnueabihf-
vm=$work/vm-armhf-nandsim

set +e
kinfo=$(scripts/kernel/fetch-kernel.sh --arch armhf)
rc=$?
set -e
((rc == 0)) || exit "$rc"
nand_module=$(scripts/kernel/nand-module.sh --arch armhf "$work")

# zlib is looked up afresh: a cache made without ZLIB_USE_STATIC_LIBS holds libz.so.
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake -DVEXIL_STATIC=ON \
    -DVEXIL_BUILD_TESTS=OFF -DZLIB_USE_STATIC_LIBS=ON -U 'ZLIB_LIBRARY*' >/dev/null
cmake --build "$build" -j"$(nproc)" --target VexilImageInstaller >/dev/null
for tool in tests/kernel/guest/mtd_image bench/peak; do
    "${cross}g++" -std=c++17 -static -O2 -Wall -Wextra -Werror -Wno-psabi -D_FILE_OFFSET_BITS=64 \
        -I. -o "$work/arm-${tool##*/}" "$tool.cpp" Platform/Files.cpp
done

. "$work/config.sh"
image_files=()
for image in $IMAGES; do image_files+=(--file "$work/$image.img:/bench/$image.img"); done
status=0
python3 tests/kernel/vmrun.py bench/arm-guest.sh --arch armhf --out "$vm" --timeout 3000 --mem 1024 --cpus 2 \
    --flash nandsim --nand-module "$nand_module" --nandsim "$nand_timing" \
    --file "$work/arm-mtd_image:/vexil/mtd_image" \
    --file "$build/common/VexilImageInstaller:/bench/VexilImageInstaller" \
    --file "$work/arm-peak:/bench/peak" \
    --file bench/by-hand.sh:/bench/by-hand.sh \
    --file "$work/config.sh:/bench/config.sh" "${image_files[@]}" \
    --file "$work/$SIGNED-signed.img:/bench/$SIGNED-signed.img" \
    --file "$work/release.pub:/bench/trusted.pub" >&2 || status=$?
if ((status != 0)); then
    echo "bench: the ARM VM ended with status $status; see $vm/console.log" >&2
    exit "$status"
fi
python3 bench/arm_report.py "$vm/results.txt" "$work/config.sh" "$nand_timing" \
    "$(sed -n 's/^KVER=//p' <<<"$kinfo")"
