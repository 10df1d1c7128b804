#!/usr/bin/env bash
# Benchmarks, side by side in one run: verification speed against zlib's crc32
# and sha256sum; and on the real kernel in the VM, on block2mtd and on the NAND
# simulator with a real chip's timing, the installer's peak memory, its install
# time against the same job by hand with mtd-utils, plain reads of what it
# installed, and its system calls. Prints the tables and writes them to
# bench/RESULTS.md with the machine.
#
#   scripts/bench.sh [ROUNDS]   (default 7 rounds in each VM)
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-7}
build=build-bench

bash scripts/deps.sh
# Static, as it goes onto the board and into the VM.
cmake -S . -B "$build" -DVEXIL_STATIC=ON -DVEXIL_BUILD_TESTS=OFF -DZLIB_USE_STATIC_LIBS=ON \
    >/dev/null
cmake --build "$build" -j"$(nproc)" --target VexilImageInstaller vexil-image vexil-bench-verify \
    >/dev/null
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")

# What the VMs measured stays in bench/work/ (not in git), for report.py.
work=$PWD/bench/work
rm -rf "$work"
mkdir -p "$work"

echo "bench: verification speed" >&2
"$build/bench/vexil-bench-verify" --mib 64 --rounds 5 --file "$work/verify.img" >"$work/verify.md"

# A 1 MiB and a 40 MiB image (the rootfs filling each up), pseudo-random and
# the same in every run.
{
    echo "IMAGES=\"small large\""
    echo "ROUNDS=$rounds"
    echo "KERNEL_VOLUME=6291456 DEVICETREE_VOLUME=131072 ROOTFS_VOLUME=36700160"
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

# The flash in the VM: block2mtd over a RAM disk, and the NAND simulator with
# a 2 KiB page read in 25 us, programmed in 250 us, a 128 KiB eraseblock
# erased in 2 ms, 25 ns a byte on the bus.
nand_timing="do_delays=1 access_delay=25 programm_delay=250 erase_delay=2 input_cycle=25 output_cycle=25"
for tool in flash_layback mtd_image; do
    g++ -static -O2 -o "$work/$tool" "tests/kernel/guest/$tool.cpp"
done
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
    python3 tests/kernel/vmrun.py bench/install-guest.sh --out "$vm" --timeout 3000 "${flash_args[@]}" \
        --file "$build/common/VexilImageInstaller:/bench/VexilImageInstaller" \
        --file bench/by-hand.sh:/bench/by-hand.sh \
        --file "$work/config.sh:/bench/config.sh" \
        --file "$work/small.img:/bench/small.img" \
        --file "$work/large.img:/bench/large.img" \
        --file "$(command -v strace):/usr/bin/strace" || status=$?
    if [ "$status" -ne 0 ]; then
        echo "bench: the VM run on $flash ended with status $status; see $vm/console.log" >&2
        [ ! -f "$vm/guest.log" ] || tail -n 20 "$vm/guest.log" >&2
        continue
    fi
    vms+=(--vm "$flash=$vm")
done

python3 bench/report.py --verify "$work/verify.md" "${vms[@]}" --config "$work/config.sh" \
    --nand-timing "$nand_timing" --compiler "$compiler" --out bench/RESULTS.md
