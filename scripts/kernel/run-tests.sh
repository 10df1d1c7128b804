#!/bin/bash
# The real-kernel test suite: smoke, ubi_probe and the power-cut sweep, each in
# its own VM. Exit 0 all passed, 1 a failure, 77 no kernel/qemu here (skip).
# Usage: run-tests.sh [OUT_DIR]   (default: $TMPDIR/vexil-kernel-tests)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
kt=$repo/tests/kernel
out=${1:-${TMPDIR:-/tmp}/vexil-kernel-tests}

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

rc=0; vm smoke "$kt/smoke.sh" || rc=$?
result smoke "$rc"

rc=0; vm probe "$kt/probe.sh" --file "$out/ubi_probe:/vexil/ubi_probe" || rc=$?
((rc != 0)) || same_as_expected probe probe.txt ubi-probe || rc=1
result probe "$rc"

rc=0; vm powercut-sweep "$kt/powercut_sweep.sh" || rc=$?
((rc != 0)) || same_as_expected powercut-sweep powercut-sweep.txt powercut-sweep || rc=1
result powercut-sweep "$rc"

echo "kernel ($kver): $passed passed, $failed failed"
((failed == 0))
