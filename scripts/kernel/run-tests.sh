#!/bin/bash
# The real-kernel test suite, each part in its own VM, on two flashes: block2mtd
# over a RAM disk, and the NAND simulator (nandsim: pages, out-of-band area,
# ECC) with the boards' partitions. On block2mtd: smoke and the
# power-cut sweep of the harness. On both: the production installer
# (conformance cases, installs, rejected images, exit statuses) and a power cut
# at every header write of an install, both held against the simulator on the
# host; signed images against a trust store; vexil-slots (status, check,
# rollback, the downgrade guard, the lock, held against the simulator) and a
# power cut at every header write of a rollback. On nandsim alone: the
# installer under NAND faults, the power-cut sweep again with bad blocks and
# bit flips, and trial boots (an install on trial, its confirm and the
# fallback made permanent, a power cut at every header write of each; ctest
# uboot_trial has real U-Boot boot every board a cut leaves). With two CPUs
# or more, two VMs run at a time (VEXIL_KERNEL_JOBS=1: one).
#
# --arch armhf runs the ARM programs of the board's build on Debian's armmp
# kernel under qemu-system-arm (arm-suite.sh builds them), on nandsim only:
# the installer, its power-cut sweep, the NAND faults, signed images,
# vexil-slots and the rollback's power-cut sweep, with the same guest scripts
# and host checks.
# Exit 0 all passed, 1 a failure, 2 usage, 77 no kernel/qemu here (skip).
set -euo pipefail

usage() {
    echo "usage: run-tests.sh [--arch amd64|armhf] --installer BIN --slots BIN --conformance BIN" >&2
    echo "       --image-tool BIN --host-tool BIN [OUT_DIR]" >&2
    echo "  (the static installer and vexil-slots, the static conformance runner," >&2
    echo "   vexil-image and vexil-kernel-host; 'ctest -L kernel' passes them)" >&2
    exit 2
}
arch=amd64 installer="" slots="" conformance="" image_tool="" host_tool="" out=""
while (($#)); do
    case $1 in
    --arch) arch=$2; shift 2 ;;
    --installer) installer=$2; shift 2 ;;
    --slots) slots=$2; shift 2 ;;
    --conformance) conformance=$2; shift 2 ;;
    --image-tool) image_tool=$2; shift 2 ;;
    --host-tool) host_tool=$2; shift 2 ;;
    -*) usage ;;
    *) out=$1; shift ;;
    esac
done
for bin in "$installer" "$slots" "$conformance" "$image_tool" "$host_tool"; do
    [[ -n $bin && -x $bin ]] || usage
done
case $arch in
amd64) cxx=${CXX:-g++} guest_tools=(flash_layback mtd_image) ;;
# No block2mtd in armmp: the NAND tool alone.
armhf) cxx=arm-linux-gnueabihf-g++ guest_tools=(mtd_image) ;;
*) usage ;;
esac

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
kinfo=$("$here/fetch-kernel.sh" --arch "$arch")
rc=$?
set -e
((rc == 0)) || exit "$rc"
kver=$(sed -n 's/^KVER=//p' <<<"$kinfo")
# Every VM boots the same kernel: look it up once.
kernel=(--arch "$arch"
    --kernel "$(sed -n 's/^VMLINUX=//p' <<<"$kinfo" | grep . || sed -n 's/^VMLINUZ=//p' <<<"$kinfo")"
    --modules "$(sed -n 's/^MODULES=//p' <<<"$kinfo")")
userland=$(sed -n 's/^USERLAND=//p' <<<"$kinfo")
[[ -z $userland ]] || kernel+=(--userland "$userland")
series=$(sed -E 's/^([0-9]+\.[0-9]+).*/\1/' <<<"$kver")

rm -rf "$out"
mkdir -p "$out"
set +e
nand_module=$("$here/nand-module.sh" --arch "$arch" "$out")
rc=$?
set -e
((rc == 0)) || exit "$rc"
for tool in "${guest_tools[@]}"; do
    if ! "$cxx" -static -O2 -Wall -Wextra -Werror -I"$repo" -o "$out/$tool" "$kt/guest/$tool.cpp" \
        "$repo/Platform/Files.cpp"; then
        echo "run-tests: SKIP: cannot build a static $tool with $cxx" >&2
        exit 77
    fi
done
inputs=$out/inputs
python3 "$kt/make_inputs.py" "$inputs" "$image_tool" >/dev/null
# The board's layout, as the tools know it, for every guest script.
"$image_tool" layout >"$out/layout.sh"

# --- the VMs ------------------------------------------------------------------
# The installer's files: the binary, the payloads and the unsigned images but
# those of the large generation, which only the fault cases need.
payload_files=(--file "$installer:/vexil/VexilImageInstaller")
for f in "$inputs"/gen/*/*.bin; do
    case $f in */gen/big/*) continue ;; esac
    payload_files+=(--file "$f:/vexil/${f#"$inputs"/}")
done
installer_files=("${payload_files[@]}")
for f in "$inputs"/img/*.img; do
    case $f in */img/big.img) continue ;; esac
    installer_files+=(--file "$f:/vexil/${f#"$inputs"/}")
done
# Signed images: the board's trust store holds the release key.
signed_files=("${payload_files[@]}" --file "$inputs/img/new.img:/vexil/img/new.img"
    --file "$inputs/trust/release.pub:/etc/vexil/trusted-keys/release.pub")
for f in "$inputs"/img/signed/*.img "$inputs"/img/refused/*.img; do
    signed_files+=(--file "$f:/vexil/${f#"$inputs"/}")
done
slots_file=(--file "$slots:/vexil/vexil-slots")
block2mtd=(--file "$out/flash_layback:/vexil/flash_layback")
nandsim=(--flash nandsim --nand-module "$nand_module" --file "$out/mtd_image:/vexil/mtd_image")
conformance_file=(--file "$conformance:/vexil/ubi-conformance")
# Trial boots: libubootenv's tools (libubootenv-tool) and the U-Boot rig's
# built-in environment, which the board's environment starts from.
trial_files=()
if fw_tools=$(command -v fw_setenv fw_printenv) && (($(wc -l <<<"$fw_tools") == 2)); then
    grep -v '^#' "$repo/scripts/uboot/rig-default-env.txt" | grep . >"$out/default-env.txt"
    trial_files=("${payload_files[@]}" "${slots_file[@]}" --file "$out/default-env.txt:/vexil/default-env.txt")
    for f in $fw_tools "$inputs"/img/new.img "$inputs"/img/next.img; do
        case $f in
        */img/*) trial_files+=(--file "$f:/vexil/${f#"$inputs"/}") ;;
        *) trial_files+=(--file "$f:/usr/bin/${f##*/}") ;;
        esac
    done
fi
big_files=(--file "$inputs/img/big.img:/vexil/img/big.img")
for f in "$inputs"/gen/big/*.bin; do big_files+=(--file "$f:/vexil/${f#"$inputs"/}"); done

# One VM; its exit status goes to OUT/NAME.status for the checks below.
# VEXIL_KERNEL_PARTS, a regular expression, picks the parts to run (all by default).
chosen() { [[ -z ${VEXIL_KERNEL_PARTS:-} || $1 =~ ^(${VEXIL_KERNEL_PARTS})$ ]]; }
vm() { # NAME SCRIPT TIMEOUT [vmrun args...]
    local name=$1 script=$2 timeout=$3 rc=0
    chosen "$name" || return 0
    shift 3
    python3 "$kt/vmrun.py" "$script" --out "$out/$name" --timeout "$timeout" "${kernel[@]}" \
        --file "$out/layout.sh:/vexil/layout.sh" "$@" || rc=$?
    echo "$rc" >"$out/$name.status"
}
# Two lanes of about the same length.
lane1() {
    vm smoke "$kt/smoke.sh" 300
    vm powercut-sweep "$kt/powercut_sweep.sh" 300
    vm installer "$kt/installer.sh" 300 "${block2mtd[@]}" "${installer_files[@]}" "${conformance_file[@]}"
    vm installer-powercut "$kt/installer_powercut.sh" 600 "${block2mtd[@]}" "${installer_files[@]}"
    vm nandsim-faults "$kt/nand_faults.sh" 300 "${nandsim[@]}" "${installer_files[@]}" "${big_files[@]}"
    vm slots "$kt/slots.sh" 300 "${block2mtd[@]}" "${signed_files[@]}" "${slots_file[@]}"
    vm slots-powercut "$kt/slots_powercut.sh" 300 "${block2mtd[@]}" "${installer_files[@]}" \
        "${slots_file[@]}"
    ((${#trial_files[@]} == 0)) || vm nandsim-trial "$kt/trial.sh" 600 "${nandsim[@]}" "${trial_files[@]}"
}
lane2() {
    vm nandsim-installer "$kt/installer.sh" 300 "${nandsim[@]}" "${installer_files[@]}" \
        "${conformance_file[@]}"
    vm nandsim-installer-powercut "$kt/installer_powercut.sh" 600 "${nandsim[@]}" "${installer_files[@]}"
    vm nandsim-faults-powercut "$kt/installer_powercut.sh" 600 "${nandsim[@]}" \
        --nandsim "$sweep_faults" "${installer_files[@]}"
    vm signed "$kt/signed.sh" 300 "${block2mtd[@]}" "${signed_files[@]}"
    vm nandsim-signed "$kt/signed.sh" 300 "${nandsim[@]}" "${signed_files[@]}"
    vm nandsim-slots "$kt/slots.sh" 300 "${nandsim[@]}" "${signed_files[@]}" "${slots_file[@]}"
    vm nandsim-slots-powercut "$kt/slots_powercut.sh" 300 "${nandsim[@]}" "${installer_files[@]}" \
        "${slots_file[@]}"
}
# The ARM VMs: the two power-cut sweeps in one lane, the rest in the other.
arm_lane1() {
    vm nandsim-installer "$kt/installer.sh" 600 "${nandsim[@]}" "${installer_files[@]}" \
        "${conformance_file[@]}"
    vm nandsim-signed "$kt/signed.sh" 600 "${nandsim[@]}" "${signed_files[@]}"
    vm nandsim-slots "$kt/slots.sh" 600 "${nandsim[@]}" "${signed_files[@]}" "${slots_file[@]}"
    vm nandsim-faults "$kt/nand_faults.sh" 600 "${nandsim[@]}" "${installer_files[@]}" "${big_files[@]}"
}
arm_lane2() {
    vm nandsim-installer-powercut "$kt/installer_powercut.sh" 900 "${nandsim[@]}" "${installer_files[@]}"
    vm nandsim-slots-powercut "$kt/slots_powercut.sh" 600 "${nandsim[@]}" "${installer_files[@]}" \
        "${slots_file[@]}"
}
lanes=(lane1 lane2)
[[ $arch == amd64 ]] || lanes=(arm_lane1 arm_lane2)
if ((jobs >= 2)); then
    "${lanes[1]}" &
    "${lanes[0]}"
    wait
else
    "${lanes[0]}"
    "${lanes[1]}"
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
transcript signed signed/signed 111 111
# A rejected image prints what a good one would up to "end: 0", then why.
stopped_transcript() { # NAME IMAGE REASON
    transcript "$1" "$2" 111 111
    head -n -3 "$expected/$1.out" >"$expected/$1.tmp"
    echo "install stopped: $3" >>"$expected/$1.tmp"
    mv "$expected/$1.tmp" "$expected/$1.out"
}
stopped_transcript missing missing "the image has no rootfs block (ID 4)"

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
same_out() { # NAME [EXPECTED [DIR]]: stdout byte for byte
    local want=${3:-$expected}/${2:-$1}.out
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
    hcheck "conformance: the simulator passes every case" grep -qx '[0-9]* passed, 0 failed' "$sim_conformance"
    # Where a kernel is known to differ from the cases (and so from the
    # simulator), it must differ just so.
    local known=$kt/expected/conformance-$arch-linux-$series.txt
    if [[ -f $known ]]; then
        hcheck "conformance: simulator and kernel differ check for check as in ${known#"$repo"/}" \
            eval '{ diff "$sim_conformance" "$out/$name/conformance.txt" || true; } | diff -u "$known" -'
    else
        hcheck "conformance: simulator and kernel agree check for check" \
            diff -u "$sim_conformance" "$out/$name/conformance.txt"
    fi
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

check_signed() { # NAME
    local reason
    runs=$out/$1/runs
    good_run signed
    good_run nostore signed
    for reason in "$inputs"/img/refused/*.reason; do
        stopped_run "refused-$(basename "$reason" .reason)" 3 "$(cat "$reason")"
    done
    stopped_run refused-manifest 3 "the current manifest cannot be used, so a downgrade could not \
be told: manifest: its CRC-32 does not match"
    stopped_run same-crc 3 "block 4 (rootfs) does not match its SHA-256 in the signed description"
}

nth_line() { sed -n "$2p" "$runs/$1.out"; }
out_is() { [[ $(cat "$runs/$1.out"; echo .) == "$2." ]]; }
# The versions and descriptions of the current and the previous generation.
generations_are() { # NAME CURRENT PREVIOUS
    [[ $(grep -c ' generation: ' "$runs/$1.out") == 2 &&
        $(grep '^current ' "$runs/$1.out") == "current generation: $2"* &&
        $(grep '^previous ' "$runs/$1.out") == "previous generation: $3"* ]]
}
# The generation runs, each against the same run on the simulator, and the
# runs the simulator cannot hold (a lock, a damaged volume) against their meaning.
check_slots() { # NAME FLASH
    local sim=$out/$1/simulator run
    runs=$out/$1/runs
    mkdir -p "$sim"
    "$host_tool" sim-slots $(geometry "$2" | cut -d" " -f1,2) "$inputs/trust" "$sim" \
        "$inputs/img/signed/signed.img" "$inputs/img/signed/signed-next.img" || true
    for run in a b downgrade status check rollback rollback-status rollback-check; do
        hcheck "$run: stdout as on the simulator" same_out $run $run "$sim"
        hcheck "$run: stderr as on the simulator" err_is $run "$(cat "$sim/$run.err")"
        hcheck "$run: exit status as on the simulator" status_is $run "$(cat "$sim/$run.rc")"
    done
    for run in a b status check rollback rollback-status rollback-check; do
        hcheck "$run: exit status 0" status_is $run 0
    done
    stopped_run downgrade 3 "the image's version 0x20261206 is lower than the installed version 0x20261207; going back is vexil-slots rollback"
    local b='version 0x20261207 "update next"' a='version 0x20261206 "update new"'
    local busy="ubi0 is in use by another install or vexil-slots"
    hcheck "status: B current, A previous" generations_are status "$b" "$a"
    hcheck "check: both whole" generations_are check "whole, $b" "whole, $a"
    hcheck "rollback-status: A current, B previous" generations_are rollback-status "$a" "$b"
    hcheck "rollback-check: both whole" generations_are rollback-check "whole, $a" "whole, $b"
    hcheck "busy-install: exit status 6" status_is busy-install 6
    hcheck "busy-install: says so" out_is busy-install $'CP1\nCP2\ninstall stopped: '"$busy"$'\n'
    hcheck "busy-rollback: exit status 6" status_is busy-rollback 6
    hcheck "busy-rollback: says so" out_is busy-rollback "rollback refused: $busy"$'\n'
    hcheck "after-kill: rolls back as on the simulator" same_out after-kill rollback "$sim"
    hcheck "after-kill: exit status 0" status_is after-kill 0
    hcheck "damaged-prev-check: exit status 0, the current generation whole" \
        eval 'status_is damaged-prev-check 0 && [[ $(nth_line damaged-prev-check 1) == $(sed -n 1p "$sim/check.out") ]]'
    hcheck "damaged-prev-check: names rootfs_prev" \
        eval '[[ $(nth_line damaged-prev-check 2) == "previous generation: NOT WHOLE: "*rootfs_prev* ]]'
    hcheck "damaged-prev-rollback: exit status 3" status_is damaged-prev-rollback 3
    hcheck "damaged-prev-rollback: refused, naming rootfs_prev" \
        eval '[[ $(cat "$runs/damaged-prev-rollback.out") == "rollback refused: the previous generation is not whole: "*rootfs_prev* ]]'
    hcheck "damaged-check: exit status 3" status_is damaged-check 3
    hcheck "damaged-check: names rootfs, the previous generation whole" \
        eval '[[ $(nth_line damaged-check 1) == "current generation: NOT WHOLE: "*rootfs* && $(nth_line damaged-check 2) == $(sed -n 2p "$sim/check.out") ]]'
    hcheck "damaged-rollback: rolls back as on the simulator" same_out damaged-rollback rollback "$sim"
    hcheck "damaged-rollback: exit status 0" status_is damaged-rollback 0
}

check_slots_powercut() { # NAME
    local sweep=$out/$1/slots-powercut.txt cuts
    cuts=$(grep -vc ' cut=none ' "$sweep" || true)
    hcheck "rollback sweep: cuts happened, then a rollback the cut did not reach" \
        eval '((cuts > 0)) && tail -n 1 "$sweep" | grep -q " rc=0 cut=none after=A check=0 whole=2$"'
    hcheck "rollback sweep: every cut rollback fails with status 4" \
        eval '! grep -v " cut=none " "$sweep" | grep -qv " rc=4 "'
    hcheck "rollback sweep: after every cut one generation current, both whole and as their manifests say" \
        eval '! grep -qv " after=[AB] check=0 whole=2$" "$sweep"'
    grep -v ' cut=none ' "$sweep" >"$sweep.cuts" || true
    hcheck "rollback sweep: both header writes of the rename cut" \
        eval '[[ $(grep -c " cut=vid:rename " "$sweep") == 2 ]]'
    hcheck "rollback sweep: B until the rename's second write, then A ($(classes "$sweep.cuts"))" \
        eval '[[ $(classes "$sweep.cuts") == "B A " ]] && tail -n 1 "$sweep.cuts" | grep -q " cut=vid:rename after=A "'
    echo "  power-cut points: rollback $cuts header writes, 2 of them the rename's"
}

# The runs and the boards each cut left (tests/kernel/trial_host.sh); what
# U-Boot boots from them is ctest uboot_trial's, after this suite: it may
# have to build U-Boot first.
check_trial() { # NAME
    hcheck "trial: the runs, and every board a cut left" \
        "$kt/trial_host.sh" kernel "$out/$1" "$inputs/gen/new" "$inputs/gen/next"
}

classes() { sed -n 's/.* after=\([A-Za-z]*\) .*/\1/p' "$1" | uniq | tr '\n' ' '; }
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
    chosen "$name" || return 0
    shift
    vm_status "$name" || rc=$?
    if ((rc == 0)) && (($#)); then
        host_fails=0
        "$@" || rc=1
        ((host_fails == 0)) || rc=1
    fi
    result "$name" "$rc"
}
if [[ $arch == armhf ]]; then
    part nandsim-installer check_installer nandsim-installer nandsim
    part nandsim-installer-powercut check_powercut nandsim-installer-powercut nandsim
    part nandsim-signed check_signed nandsim-signed
    part nandsim-slots check_slots nandsim-slots nandsim
    part nandsim-faults check_faults nandsim-faults
    part nandsim-slots-powercut check_slots_powercut nandsim-slots-powercut
else
    part smoke
    part powercut-sweep same_as_expected powercut-sweep powercut-sweep.txt powercut-sweep
    part installer check_installer installer block2mtd
    part installer-powercut check_powercut installer-powercut block2mtd
    part nandsim-installer check_installer nandsim-installer nandsim
    part nandsim-installer-powercut check_powercut nandsim-installer-powercut nandsim
    part nandsim-faults check_faults nandsim-faults
    part nandsim-faults-powercut check_powercut nandsim-faults-powercut nandsim unordered
    part signed check_signed signed
    part nandsim-signed check_signed nandsim-signed
    part slots check_slots slots block2mtd
    part nandsim-slots check_slots nandsim-slots nandsim
    part slots-powercut check_slots_powercut slots-powercut
    part nandsim-slots-powercut check_slots_powercut nandsim-slots-powercut
    if ((${#trial_files[@]})); then
        part nandsim-trial check_trial nandsim-trial
    elif chosen nandsim-trial; then
        echo "SKIP nandsim-trial (no fw_setenv and fw_printenv: libubootenv-tool)"
    fi
fi

for t in "$out"/*/timing.txt; do
    echo "  time $(basename "$(dirname "$t")"): $(sed -n 's/^total_s=//p' "$t") s"
done
echo "kernel ($kver): $passed passed, $failed failed"
((failed == 0))
