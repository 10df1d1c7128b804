#!/bin/bash
# The real-kernel test suite, each part in its own VM, on two flashes: block2mtd
# over a RAM disk, and the NAND simulator (nandsim: pages, out-of-band area,
# ECC) with the boards' partitions. On block2mtd: smoke and the
# power-cut sweep of the harness. On both: the production installer
# (conformance cases, installs, rejected images, exit statuses) and a power cut
# at every header write of an install, both held against the simulator on the
# host. On nandsim alone: the installer under NAND faults, and the power-cut
# sweep again with bad blocks and bit flips. With two CPUs or more, two VMs
# run at a time (VEXIL_KERNEL_JOBS=1: one).
# Exit 0 all passed, 1 a failure, 2 usage, 77 no kernel/qemu here (skip).
set -euo pipefail

usage() {
    echo "usage: run-tests.sh --installer BIN --conformance BIN --image-tool BIN --host-tool BIN [OUT_DIR]" >&2
    echo "  (the static installer, the static conformance runner, vexil-image and" >&2
    echo "   vexil-kernel-host; 'ctest -L kernel' passes them)" >&2
    exit 2
}
installer="" conformance="" image_tool="" host_tool="" out=""
while (($#)); do
    case $1 in
    --installer) installer=$2; shift 2 ;;
    --conformance) conformance=$2; shift 2 ;;
    --image-tool) image_tool=$2; shift 2 ;;
    --host-tool) host_tool=$2; shift 2 ;;
    -*) usage ;;
    *) out=$1; shift ;;
    esac
done
for bin in "$installer" "$conformance" "$image_tool" "$host_tool"; do
    [[ -n $bin && -x $bin ]] || usage
done

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
kt=$repo/tests/kernel
out=${out:-${TMPDIR:-/tmp}/vexil-kernel-tests}
jobs=${VEXIL_KERNEL_JOBS:-$(nproc)}

# NAND.ubi's geometry in the VM, "LEB_SIZE LEB_COUNT MIN_IO_SIZE": block2mtd gives 1024
# PEBs of 128 KiB and no sub-pages; the simulated chip 2032 PEBs of 128 KiB
# with 2 KiB pages, 512-byte sub-pages and 40 PEBs kept for bad blocks.
geometry() { # FLASH
    case $1 in
    block2mtd) echo "130944 1020 1" ;;
    nandsim) echo "129024 1988 2048" ;;
    esac
}
# The fault sweep's bad blocks, as in nand_faults.sh: the chip's eraseblocks
# 16, 579, 599 and 2047 are NAND.ubi's first and last PEBs and two where the
# board's volumes would go (NAND.ubi starts at eraseblock 16).
sweep_faults="badblocks=16,579,599,2047 bitflips=1"

set +e
kinfo=$("$here/fetch-kernel.sh")
rc=$?
set -e
((rc == 0)) || exit "$rc"
kver=$(sed -n 's/^KVER=//p' <<<"$kinfo")
# Every VM boots the same kernel: look it up once.
kernel=(--kernel "$(sed -n 's/^VMLINUX=//p' <<<"$kinfo" | grep . || sed -n 's/^VMLINUZ=//p' <<<"$kinfo")"
    --modules "$(sed -n 's/^MODULES=//p' <<<"$kinfo")")
series=$(sed -E 's/^([0-9]+\.[0-9]+).*/\1/' <<<"$kver")

rm -rf "$out"
mkdir -p "$out"
set +e
nand_module=$("$here/nand-module.sh" "$out")
rc=$?
set -e
((rc == 0)) || exit "$rc"
cxx=${CXX:-g++}
for tool in flash_layback mtd_image; do
    if ! "$cxx" -static -O2 -Wall -Wextra -Werror -o "$out/$tool" "$kt/guest/$tool.cpp"; then
        echo "run-tests: SKIP: cannot build a static $tool with $cxx" >&2
        exit 77
    fi
done
inputs=$out/inputs
python3 "$kt/make_inputs.py" "$inputs" "$image_tool" >/dev/null

# --- the VMs ------------------------------------------------------------------
# The installer's files: the binaries, and the payloads and images but those of
# the large generation, which only the fault cases need.
installer_files=(--file "$installer:/vexil/VexilImageInstaller")
for f in "$inputs"/gen/*/*.bin "$inputs"/img/*.img; do
    case $f in */gen/big/* | */img/big.img) continue ;; esac
    installer_files+=(--file "$f:/vexil/${f#"$inputs"/}")
done
block2mtd=(--file "$out/flash_layback:/vexil/flash_layback")
nandsim=(--flash nandsim --nand-module "$nand_module" --file "$out/mtd_image:/vexil/mtd_image")
conformance_file=(--file "$conformance:/vexil/ubi-conformance")
big_files=(--file "$inputs/img/big.img:/vexil/img/big.img")
for f in "$inputs"/gen/big/*.bin; do big_files+=(--file "$f:/vexil/${f#"$inputs"/}"); done

# One VM; its exit status goes to OUT/NAME.status for the checks below.
vm() { # NAME SCRIPT TIMEOUT [vmrun args...]
    local name=$1 script=$2 timeout=$3 rc=0
    shift 3
    python3 "$kt/vmrun.py" "$script" --out "$out/$name" --timeout "$timeout" "${kernel[@]}" "$@" ||
        rc=$?
    echo "$rc" >"$out/$name.status"
}
# Two lanes of about the same length.
lane1() {
    vm smoke "$kt/smoke.sh" 300
    vm powercut-sweep "$kt/powercut_sweep.sh" 300
    vm installer "$kt/installer.sh" 300 "${block2mtd[@]}" "${installer_files[@]}" "${conformance_file[@]}"
    vm installer-powercut "$kt/installer_powercut.sh" 600 "${block2mtd[@]}" "${installer_files[@]}"
    vm nandsim-faults "$kt/nand_faults.sh" 300 "${nandsim[@]}" "${installer_files[@]}" "${big_files[@]}"
}
lane2() {
    vm nandsim-installer "$kt/installer.sh" 300 "${nandsim[@]}" "${installer_files[@]}" \
        "${conformance_file[@]}"
    vm nandsim-installer-powercut "$kt/installer_powercut.sh" 600 "${nandsim[@]}" "${installer_files[@]}"
    vm nandsim-faults-powercut "$kt/installer_powercut.sh" 600 "${nandsim[@]}" \
        --nandsim "$sweep_faults" "${installer_files[@]}"
}
if ((jobs >= 2)); then
    lane2 &
    lane1
    wait
else
    lane1
    lane2
fi

# --- what the host expects ------------------------------------------------------
expected=$out/expected
mkdir -p "$expected"
transcript() { # NAME IMAGE PREV_FLAGS CURRENT_FLAGS
    "$host_tool" transcript "$inputs/img/$2.img" "$3" "$4" >"$expected/$1.out"
}
transcript good new 111 111
transcript rotate next 111 111
transcript first new 000 000
transcript empty empty 111 111
transcript pipe new 111 111
transcript big big 111 111
# A rejected image prints what a good one would up to "end: 0", then why.
transcript missing missing 111 111
head -n -3 "$expected/missing.out" >"$expected/missing.tmp"
echo "install stopped: the image has no rootfs block (ID 4)" >>"$expected/missing.tmp"
mv "$expected/missing.tmp" "$expected/missing.out"

passed=0 failed=0
result() { # NAME RC
    if [[ $2 == 0 ]]; then
        passed=$((passed + 1)); echo "PASS $1"
    else
        failed=$((failed + 1)); echo "FAIL $1 (exit $2, logs in $out/$1)"
    fi
}
# The VM's exit status; a VM that could not start skips the suite.
vm_status() { # NAME
    local rc
    rc=$(cat "$out/$1.status")
    if ((rc == 77)); then exit 77; fi
    return "$rc"
}
# Kernel output must match what this kernel series was seen to do.
same_as_expected() { # NAME FILE EXPECTED_STEM
    local exp=$kt/expected/$3-linux-$series.txt
    if [[ ! -f $exp ]]; then
        echo "run-tests: no $exp for kernel $kver; not compared" >&2
        return 0
    fi
    diff -u "$exp" "$out/$1/$2"
}
# Host-side checks of one VM's results; a failed one is named on stdout.
host_fails=0
hcheck() { # DESCRIPTION COMMAND...
    local d=$1
    shift
    if ! "$@"; then
        echo "  FAIL - $d"
        host_fails=$((host_fails + 1))
    fi
}

runs=""  # the runs/ directory of the VM being checked
same_out() { # NAME [EXPECTED]: stdout byte for byte
    local want=$expected/${2:-$1}.out
    cmp -s "$want" "$runs/$1.out" || { diff -u "$want" "$runs/$1.out" | head -40; return 1; }
}
status_is() { [[ $(cat "$runs/$1.rc") == "$2" ]]; }
err_is() { [[ $(cat "$runs/$1.err"; echo .) == "$2." ]]; }
stopped_lines() { grep '^install stopped: ' "$runs/$1.out"; }
last_line_is() { [[ $(tail -n 1 "$runs/$1.out") == "$2" ]] && [[ $(stopped_lines "$1" | wc -l) == 1 ]]; }
# The one reason given names VOLUME; its wording is the installer's.
stopped_naming() { [[ $(stopped_lines "$1" | wc -l) == 1 ]] && stopped_lines "$1" | grep -qw -- "$2"; }
good_run() { # NAME [EXPECTED]
    hcheck "$1: stdout is the transcript" same_out "$1" "${2:-}"
    hcheck "$1: stderr empty" err_is "$1" ""
    hcheck "$1: exit status 0" status_is "$1" 0
}
stopped_run() { # NAME STATUS REASON [STDERR]
    hcheck "$1: exit status $2" status_is "$1" "$2"
    hcheck "$1: says why" last_line_is "$1" "install stopped: $3"
    hcheck "$1: stderr" err_is "$1" "${4:-}"
}

check_installer() { # NAME FLASH
    local name=$1 sim_conformance=$out/$1/conformance-simulator.txt
    runs=$out/$name/runs
    for run in good rotate first empty pipe; do good_run $run; done
    hcheck "missing: stdout up to the reason" same_out missing
    stopped_run missing 3 "the image has no rootfs block (ID 4)"
    stopped_run crc 3 "block 4 failed its CRC check"
    stopped_run short 3 "the image ended early"
    stopped_run product 3 "the image is for another board (magic 'VexilImg', product 'Other')"
    stopped_run noroom 4 "could not create kernel_new: No space left on device" $'ioctl: No space left on device\n'
    stopped_run leftover-early 3 "the image ended early"
    stopped_run leftover 3 "the image has no rootfs block (ID 4)"
    hcheck "noargs: exit status 1, no output" \
        eval 'status_is noargs 1 && err_is noargs "" && [[ ! -s $runs/noargs.out ]]'
    hcheck "noimage: exit status 2" status_is noimage 2
    hcheck "noimage: says so" \
        eval '[[ $(cat "$runs/noimage.out") == $'"'"'CP1\nCP2\nERROR: failed to open file: /vexil/img/absent.img'"'"' ]]'
    hcheck "nodevice: exit status 255 after CP1" \
        eval 'status_is nodevice 255 && [[ $(cat "$runs/nodevice.out"; echo .) == $'"'"'CP1\n.'"'"' ]]'
    # The same request sequences on a simulated device of the VM's geometry,
    # its I/O unit included, must give the very same checks.
    "$host_tool" sim-conformance $(geometry "$2") >"$sim_conformance" || true
    hcheck "conformance: simulator and kernel agree check for check" \
        diff -u "$sim_conformance" "$out/$name/conformance.txt"
}

check_faults() { # NAME
    runs=$out/$1/runs
    good_run badblocks good
    good_run bitflips-hamming big
    good_run bitflips-bch big
    good_run program-fails good
    for vol in rootfs kernel; do
        hcheck "read-fails-$vol: exit status 4" status_is read-fails-$vol 4
        hcheck "read-fails-$vol: one reason, naming ${vol}_new" stopped_naming read-fails-$vol ${vol}_new
        hcheck "read-fails-$vol-rerun: exit status 0" status_is read-fails-$vol-rerun 0
        hcheck "read-fails-$vol-rerun: stderr empty" err_is read-fails-$vol-rerun ""
    done
}

classes() { sed -n 's/.* after=\([a-z]*\) .*/\1/p' "$1" | uniq | tr '\n' ' '; }
# With bit flips UBI scrubs at random moments, and the Nth header write is not
# the same step of the install in every run: then each cut is held to the
# same outcome, but not to an order of outcomes or to the simulator's sweep.
check_powercut() { # NAME FLASH [unordered]
    local sim_sweep=$out/$1/simulator.txt sweep=$out/$1/installer-powercut.txt
    local gens=$inputs/gen cuts
    cuts=$(grep -vc ' cut=none ' "$sweep" || true)
    hcheck "sweep: cuts happened, then an install the cut did not reach" \
        eval '((cuts > 0)) && tail -n 1 "$sweep" | grep -q " rc=0 cut=none after=new rerun=0 final=new$"'
    hcheck "sweep: every cut install fails with status 4" \
        eval '! grep -v " cut=none " "$sweep" | grep -qv " rc=4 "'
    hcheck "sweep: after every cut one whole healthy generation, and the rerun installs" \
        eval '! grep -qv " after=\(old\|new\) rerun=0 final=new$" "$sweep"'
    echo "  power-cut points: kernel $cuts header writes ($(grep -v ' cut=none ' "$sweep" | grep -c ' after=new ') left the new set)"
    if [[ ${3:-} == unordered ]]; then
        local flash=$out/$1/flash.txt
        hcheck "sweep: UBI found the 4 bad blocks" grep -qx 'bad_peb_count 4' "$flash"
        hcheck "sweep: the ECC corrected flipped bits" \
            eval '[[ $(sed -n "s/^corrected_bits //p" "$flash") -gt 0 ]]'
        hcheck "sweep: no read failed" grep -qx 'ecc_failures 0' "$flash"
        return 0
    fi
    hcheck "sweep: the old set until the switch, then the new one" \
        eval '[[ $(classes "$sweep") =~ ^old\ (new\ )?$ ]]'
    # The simulator cuts before or after whole operations, the kernel at header
    # writes: the same outcomes must come in the same order.
    "$host_tool" sim-sweep $(geometry "$2" | cut -d" " -f1,2) "$gens/old" "$gens/cur" "$gens/new" \
        "$inputs/img/new.img" >"$sim_sweep" || true
    hcheck "simulator sweep: every cut fails with status 4, one whole generation, the rerun installs" \
        eval '[[ -s $sim_sweep ]] && ! grep -qv " rc=4 after=\(old\|new\) rerun=0 final=new$" "$sim_sweep"'
    grep -v ' cut=none ' "$sweep" >"$sweep.cuts" || true
    hcheck "kernel and simulator: the same outcomes in the same order ($(classes "$sweep.cuts"))" \
        eval '[[ $(classes "$sweep.cuts") == $(classes "$sim_sweep") ]]'
    echo "  power-cut points: simulator $(wc -l <"$sim_sweep") cuts before and after" \
        "$(($(wc -l <"$sim_sweep") / 2)) operations"
}

# --- the results, part by part ---------------------------------------------------
part() { # NAME CHECK...
    local name=$1 rc=0
    shift
    vm_status "$name" || rc=$?
    if ((rc == 0)) && (($#)); then
        host_fails=0
        "$@" || rc=1
        ((host_fails == 0)) || rc=1
    fi
    result "$name" "$rc"
}
part smoke
part powercut-sweep same_as_expected powercut-sweep powercut-sweep.txt powercut-sweep
part installer check_installer installer block2mtd
part installer-powercut check_powercut installer-powercut block2mtd
part nandsim-installer check_installer nandsim-installer nandsim
part nandsim-installer-powercut check_powercut nandsim-installer-powercut nandsim
part nandsim-faults check_faults nandsim-faults
part nandsim-faults-powercut check_powercut nandsim-faults-powercut nandsim unordered

for t in "$out"/*/timing.txt; do
    echo "  time $(basename "$(dirname "$t")"): $(sed -n 's/^total_s=//p' "$t") s"
done
echo "kernel ($kver): $passed passed, $failed failed"
((failed == 0))
