#!/usr/bin/env bash
# Benchmarks, side by side in one run: verification speed, with and without
# the signature's hashing, against zlib's crc32 and sha256sum, and the ARM
# build's under qemu-arm-static; and on the real kernel in the VM, on
# block2mtd and on the NAND simulator with a real chip's timing, the
# installer's peak memory, its install time against the same job by hand with
# mtd-utils, plain reads of what it installed, a signed install with a trust
# store against the same image unsigned, vexil-slots check and rollback, and
# the system calls; and SWUpdate and RAUC installing the same payloads beside
# the installer on nandsim (bench/peers/). Prints the tables and writes them to
# bench/RESULTS.md with the machine.
#
#   scripts/bench.sh [ROUNDS]   (default 5 rounds in each VM)
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-5}
build=build-bench
# Other work on the machine shows in the load average; the report gives it.
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)

bash scripts/deps.sh
# Static, as it goes onto the board and into the VM.
cmake -S . -B "$build" -DVEXIL_STATIC=ON -DVEXIL_BUILD_TESTS=OFF -DZLIB_USE_STATIC_LIBS=ON \
    >/dev/null
cmake --build "$build" -j"$(nproc)" \
    --target VexilImageInstaller vexil-slots vexil-image vexil-bench-verify >/dev/null
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")

# What the VMs measured stays in bench/work/ (not in git), for report.py.
work=$PWD/bench/work
rm -rf "$work"
mkdir -p "$work"

echo "bench: verification speed" >&2
"$build/bench/vexil-bench-verify" --mib 64 --rounds 5 --file "$work/verify.img" >"$work/verify.md"

# The board's build (static, 32-bit ARM) under qemu-arm-static, as
# scripts/arm-test.sh builds it; the board's libraries come from Debian's armhf
# packages. Left out without the cross compiler or the emulator.
arm_verify=()
if command -v arm-linux-gnueabihf-g++ >/dev/null && command -v qemu-arm-static >/dev/null; then
    missing=()
    for p in zlib1g-dev:armhf libsodium-dev:armhf libubootenv-dev:armhf; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ] && [ "$(id -u)" -eq 0 ]; then
        dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
        apt-get update -q >/dev/null
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
            "${missing[@]}" >/dev/null
    fi
    echo "bench: verification speed of the ARM build under qemu-arm-static" >&2
    # zlib is looked up afresh: a cache made without ZLIB_USE_STATIC_LIBS holds libz.so.
    if cmake -S . -B "$build-arm" -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
        -DVEXIL_STATIC=ON -DVEXIL_BUILD_TESTS=OFF -DZLIB_USE_STATIC_LIBS=ON -U 'ZLIB_LIBRARY*' \
        >/dev/null &&
        cmake --build "$build-arm" -j"$(nproc)" --target vexil-bench-verify >/dev/null &&
        qemu-arm-static "$build-arm/bench/vexil-bench-verify" --mib 64 --rounds 5 \
            >"$work/verify-arm.md"; then
        arm_verify=(--verify-arm "$work/verify-arm.md")
    else
        echo "bench: the ARM build's verification benchmark failed; left out" >&2
    fi
else
    echo "bench: no ARM cross compiler or qemu-arm-static; the ARM build is left out" >&2
fi

# A 1 MiB and a 40 MiB image (the rootfs filling each up), pseudo-random and
# the same in every run.
{
    echo "IMAGES=\"small large\" SIGNED=large SLOTS_IMAGE=large"
    echo "ROUNDS=$rounds"
    (
        eval "$("$build/tools/vexil-image" layout)"
        echo "KERNEL_VOLUME=$VEXIL_kernel_SIZE DEVICETREE_VOLUME=$VEXIL_devicetree_SIZE" \
            "ROOTFS_VOLUME=$VEXIL_rootfs_SIZE"
    )
    echo "MANIFEST_VOLUME=4096 MANIFEST_BYTES=118"
} >"$work/config.sh"
make_image() { # NAME TOTAL KERNEL DEVICETREE
    local rootfs=$(($2 - 96 - $3 - $4))
    python3 - "$work/$1" "$3" "$4" "$rootfs" <<'PY'
import random, sys
rng = random.Random(20261207)
for part, size in zip(("kernel", "devicetree", "rootfs"), sys.argv[2:]):
    with open(f"{sys.argv[1]}.{part}", "wb") as f:
        f.write(rng.randbytes(int(size)))
PY
    "$build/tools/vexil-image" create -o "$work/$1.img" --version 0x20261207 \
        --descr "bench $1" --kernel "$work/$1.kernel" --devicetree "$work/$1.devicetree" \
        --rootfs "$work/$1.rootfs" >/dev/null
    echo "$1_BYTES=$2 $1_KERNEL=$3 $1_DEVICETREE=$4 $1_ROOTFS=$rootfs" >>"$work/config.sh"
}
make_image small $((1 << 20)) 655360 32768
make_image large $((40 << 20)) 5242880 131072
# The large image signed, and the key a board trusts for it.
"$build/tools/vexil-image" keygen -o "$work/release" >/dev/null
"$build/tools/vexil-image" sign -o "$work/large-signed.img" "$work/large.img" \
    --key "$work/release" >/dev/null

# The flash in the VM: block2mtd over a RAM disk, and the NAND simulator with
# a 2 KiB page read in 25 us, programmed in 250 us, a 128 KiB eraseblock
# erased in 2 ms, 25 ns a byte on the bus.
nand_timing="do_delays=1 access_delay=25 programm_delay=250 erase_delay=2 input_cycle=25 output_cycle=25"
for tool in flash_layback mtd_image; do
    g++ -static -O2 -I. -o "$work/$tool" "tests/kernel/guest/$tool.cpp" Platform/Files.cpp
done
# Wall time and peak memory (wait4) of each run in the VMs.
g++ -std=c++17 -static -O2 -Wall -Wextra -Werror -I. -o "$work/peak" bench/peak.cpp Platform/Files.cpp
flashes=(block2mtd)
if nand_module=$(scripts/kernel/nand-module.sh "$work"); then
    flashes+=(nandsim)
else
    echo "bench: no NAND simulator module; block2mtd only" >&2
fi

vms=()
for flash in "${flashes[@]}"; do
    echo "bench: installs in the VM on $flash ($rounds rounds)" >&2
    vm="$work/vm-$flash"
    case $flash in
    block2mtd) flash_args=(--file "$work/flash_layback:/vexil/flash_layback") ;;
    nandsim) flash_args=(--flash nandsim --nand-module "$nand_module" --nandsim "$nand_timing"
        --file "$work/mtd_image:/vexil/mtd_image") ;;
    esac
    status=0
    python3 tests/kernel/vmrun.py bench/install-guest.sh --out "$vm" --timeout 3000 --mem 2048 --cpus 2 \
        "${flash_args[@]}" \
        --file "$build/common/VexilImageInstaller:/bench/VexilImageInstaller" \
        --file "$build/common/vexil-slots:/bench/vexil-slots" \
        --file "$work/peak:/bench/peak" \
        --file bench/by-hand.sh:/bench/by-hand.sh \
        --file "$work/config.sh:/bench/config.sh" \
        --file "$work/small.img:/bench/small.img" \
        --file "$work/large.img:/bench/large.img" \
        --file "$work/large-signed.img:/bench/large-signed.img" \
        --file "$work/release.pub:/bench/trusted.pub" \
        --file "$(command -v strace):/usr/bin/strace" || status=$?
    if [ "$status" -ne 0 ]; then
        echo "bench: the VM run on $flash ended with status $status; see $vm/console.log" >&2
        [ ! -f "$vm/guest.log" ] || tail -n 20 "$vm/guest.log" >&2
        continue
    fi
    vms+=(--vm "$flash=$vm")
done

# The peer updaters, SWUpdate and RAUC from Debian, beside the installer and
# the job by hand on nandsim, in one more boot (bench/peers/).
peers=()
if [ -n "${nand_module:-}" ]; then
    echo "bench: SWUpdate and RAUC beside the installer on nandsim ($rounds rounds)" >&2
    status=0
    bash bench/peers/run.sh "$work" "$build" "$nand_module" "$nand_timing" "$rounds" || status=$?
    [ "$status" -eq 0 ] || echo "bench: the peer VM ended with status $status" >&2
    peers=(--peers "$work/vm-peers" --peers-config "$work/peers/config.sh")
fi

python3 bench/report.py --verify "$work/verify.md" "${arm_verify[@]}" "${vms[@]}" \
    "${peers[@]}" --config "$work/config.sh" \
    --nand-timing "$nand_timing" --compiler "$compiler" --load-start "$load_start" \
    --started "$started" \
    --out bench/RESULTS.md

# The board's architecture, in its own VM (bench/arm-vm.sh): the ARM programs
# on Debian's armmp kernel, on nandsim with the same timing. Its section
# follows the report.
echo "bench: installs in the ARM VM on nandsim ($rounds rounds)" >&2
bash bench/arm-vm.sh "$work" "$build-arm" "$nand_timing" | tee -a bench/RESULTS.md ||
    echo "bench: the ARM VM part ended with status $?; see $work/vm-armhf-nandsim" >&2
