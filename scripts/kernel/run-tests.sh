#!/bin/bash
# The real-kernel test suite, each part in its own VM: smoke, ubi_probe and the
# power-cut sweep of the harness; then the production installer (conformance
# cases, installs, rejected images, exit statuses) and a power cut at every
# header write of an install, both held against the simulator on the host.
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
# The geometry block2mtd gives NAND.ubi in the VM: 128 KiB PEBs, 1024 of them.
leb_size=130944 leb_count=1020

set +e
kinfo=$("$here/fetch-kernel.sh")
rc=$?
set -e
((rc == 0)) || exit "$rc"
kver=$(sed -n 's/^KVER=//p' <<<"$kinfo")
series=$(sed -E 's/^([0-9]+\.[0-9]+).*/\1/' <<<"$kver")

rm -rf "$out"
mkdir -p "$out"
cc=${CC:-gcc}
if ! "$cc" -static -O2 -Wall -o "$out/ubi_probe" "$kt/probe/ubi_probe.c"; then
    echo "run-tests: SKIP: cannot build a static ubi_probe with $cc" >&2
    exit 77
fi
cxx=${CXX:-g++}
if ! "$cxx" -static -O2 -Wall -Wextra -Werror -o "$out/flash_layback" "$kt/guest/flash_layback.cpp"; then
    echo "run-tests: SKIP: cannot build a static flash_layback with $cxx" >&2
    exit 77
fi
inputs=$out/inputs
python3 "$kt/make_inputs.py" "$inputs" "$image_tool" >/dev/null

passed=0 failed=0
result() { # NAME RC
    if [[ $2 == 0 ]]; then
        passed=$((passed + 1)); echo "PASS $1"
    else
        failed=$((failed + 1)); echo "FAIL $1 (exit $2, logs in $out/$1)"
    fi
}
vm() { # NAME SCRIPT [vmrun args...]
    local name=$1 script=$2
    shift 2
    set +e
    python3 "$kt/vmrun.py" "$script" --out "$out/$name" --timeout 300 "$@"
    local rc=$?
    set -e
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

rc=0; vm smoke "$kt/smoke.sh" || rc=$?
result smoke "$rc"

rc=0; vm probe "$kt/probe.sh" --file "$out/ubi_probe:/vexil/ubi_probe" || rc=$?
((rc != 0)) || same_as_expected probe probe.txt ubi-probe || rc=1
result probe "$rc"

rc=0; vm powercut-sweep "$kt/powercut_sweep.sh" || rc=$?
((rc != 0)) || same_as_expected powercut-sweep powercut-sweep.txt powercut-sweep || rc=1
result powercut-sweep "$rc"

# --- the installer ----------------------------------------------------------
files=(--file "$installer:/vexil/VexilImageInstaller" --file "$conformance:/vexil/ubi-conformance"
    --file "$out/flash_layback:/vexil/flash_layback")
for f in "$inputs"/gen/*/*.bin "$inputs"/img/*.img; do
    files+=(--file "$f:/vexil/${f#"$inputs"/}")
done
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
# A rejected image prints what a good one would up to "end: 0", then why.
transcript missing missing 111 111
head -n -3 "$expected/missing.out" >"$expected/missing.tmp"
echo "install stopped: the image has no rootfs block (ID 4)" >>"$expected/missing.tmp"
mv "$expected/missing.tmp" "$expected/missing.out"

runs=$out/installer/runs
same_out() { # NAME: stdout byte for byte
    cmp -s "$expected/$1.out" "$runs/$1.out" || { diff -u "$expected/$1.out" "$runs/$1.out" | head -40; return 1; }
}
status_is() { [[ $(cat "$runs/$1.rc") == "$2" ]]; }
err_is() { [[ $(cat "$runs/$1.err"; echo .) == "$2." ]]; }
last_line_is() { [[ $(tail -n 1 "$runs/$1.out") == "$2" ]] && [[ $(grep -c '^install stopped: ' "$runs/$1.out") == 1 ]]; }
good_run() { # NAME
    hcheck "$1: stdout is the transcript" same_out "$1"
    hcheck "$1: stderr empty" err_is "$1" ""
    hcheck "$1: exit status 0" status_is "$1" 0
}
stopped_run() { # NAME STATUS REASON [STDERR]
    hcheck "$1: exit status $2" status_is "$1" "$2"
    hcheck "$1: says why" last_line_is "$1" "install stopped: $3"
    hcheck "$1: stderr" err_is "$1" "${4:-}"
}
sim_conformance=$out/installer/conformance-simulator.txt
rc=0; vm installer "$kt/installer.sh" "${files[@]}" || rc=$?
if ((rc == 0)); then
    host_fails=0
    for name in good rotate first empty pipe; do good_run $name; done
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
    # The same request sequences on a simulated device of the VM's geometry
    # must give the very same checks.
    "$host_tool" sim-conformance "$leb_size" "$leb_count" >"$sim_conformance" || true
    hcheck "conformance: simulator and kernel agree check for check" \
        diff -u "$sim_conformance" "$out/installer/conformance.txt"
    ((host_fails == 0)) || rc=1
fi
result installer "$rc"

# --- a power cut at every header write of one install ------------------------
gens=$inputs/gen
sim_sweep=$out/installer-powercut/simulator.txt
sweep=$out/installer-powercut/installer-powercut.txt
classes() { sed -n 's/.* after=\([a-z]*\) .*/\1/p' "$1" | uniq | tr '\n' ' '; }
rc=0; vm installer-powercut "$kt/installer_powercut.sh" --timeout 600 "${files[@]}" || rc=$?
if ((rc == 0)); then
    host_fails=0
    cuts=$(grep -vc ' cut=none ' "$sweep" || true)
    hcheck "sweep: cuts happened, then an install the cut did not reach" \
        eval '((cuts > 0)) && tail -n 1 "$sweep" | grep -q " rc=0 cut=none after=new rerun=0 final=new$"'
    hcheck "sweep: every cut install fails with status 4" \
        eval '! grep -v " cut=none " "$sweep" | grep -qv " rc=4 "'
    hcheck "sweep: after every cut one whole healthy generation, and the rerun installs" \
        eval '! grep -qv " after=\(old\|new\) rerun=0 final=new$" "$sweep"'
    hcheck "sweep: the old set until the switch, then the new one" \
        eval '[[ $(classes "$sweep") =~ ^old\ (new\ )?$ ]]'
    # The simulator cuts before or after whole operations, the kernel at header
    # writes: the same outcomes must come in the same order.
    "$host_tool" sim-sweep "$leb_size" "$leb_count" "$gens/old" "$gens/cur" "$gens/new" \
        "$inputs/img/new.img" >"$sim_sweep" || true
    hcheck "simulator sweep: every cut fails with status 4, one whole generation, the rerun installs" \
        eval '[[ -s $sim_sweep ]] && ! grep -qv " rc=4 after=\(old\|new\) rerun=0 final=new$" "$sim_sweep"'
    grep -v ' cut=none ' "$sweep" >"$sweep.cuts" || true
    hcheck "kernel and simulator: the same outcomes in the same order ($(classes "$sweep.cuts"))" \
        eval '[[ $(classes "$sweep.cuts") == $(classes "$sim_sweep") ]]'
    echo "  power-cut points: kernel $cuts header writes ($(grep -c ' after=new ' "$sweep.cuts") left the new set)," \
        "simulator $(wc -l <"$sim_sweep") cuts before and after $(($(wc -l <"$sim_sweep") / 2)) operations"
    ((host_fails == 0)) || rc=1
fi
result installer-powercut "$rc"

for t in "$out"/*/timing.txt; do
    echo "  time $(basename "$(dirname "$t")"): $(sed -n 's/^total_s=//p' "$t") s"
done
echo "kernel ($kver): $passed passed, $failed failed"
((failed == 0))
