#!/usr/bin/env bash
# The host's side of tests/kernel/trial.sh: what each power cut left on the
# board, and what real U-Boot boots from it.
#
# usage: trial_host.sh kernel|uboot DIR GEN_A GEN_B
#   DIR           the VM's results: sweep-STEP.txt (STEP install, confirm,
#                 fallback), states/ and blobs/
#   GEN_A, GEN_B  the payloads of A and B ({kernel,devicetree}.bin)
#   kernel  every cut against the protocol: the step fails with status 4 and
#           leaves the old board or the new one, whole, each set's manifest
#           matching it, the count written wherever a set is on trial
#   uboot   every board laid out for the rig's flash, as uboot-rehearse.sh
#           lays them, and booted by real U-Boot (scripts/uboot/run-uboot.sh)
#           without anyone confirming, until a boot leaves the flash and the
#           environment as it found them: every later boot is that boot
#           again. A board on trial is also booted once, confirmed (its
#           manifest_trial renamed in the rig's copy) and booted on.
#           Each boot must boot A or B whole: B on trial as many times as
#           vexil_tries says, then A for good; a board not on trial its
#           current set, for good. Boards alike are booted once.
# Failed checks are "  FAIL - ..." lines on stdout, the boots in DIR/uboot.txt.
# Exit 0 passed, 1 failed, 2 usage, 77 (uboot) U-Boot cannot be had here or
# DIR holds no results.
set -euo pipefail

(($# == 4)) && [[ $1 == kernel || $1 == uboot ]] || {
    sed -n '/^# usage:/,/^# Exit/{s/^# \{0,1\}//;p}' "$0" >&2
    exit 2
}
what=$1 dir=$2 gen_a=$3 gen_b=$4
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
steps=(install confirm fallback)
fails=0
fail() { echo "  FAIL - $*"; fails=$((fails + 1)); }

# --- one board -------------------------------------------------------------------
# load STATE sets, for that board: its volumes by name (vtype, flags, content,
# id), env_md5, the environment's variables as fw_printenv reads them
# (vars_of), the generation each set holds (cur, prev: A, B, "none" without a
# kernel volume, or "broken"), the marker (trial, manifest or none), tries
# (vexil_tries) and board, all three in one.
declare -A vtype flags content id same vars_of
env_md5="" cur="" prev="" mark="" tries="" board=""
env_config=$(mktemp "${TMPDIR:-/tmp}/vexil-trial-env.XXXXXX")
work=""
trap 'rm -rf "$env_config" $work' EXIT
# Whether blob MD5 is FILE byte for byte, compared once.
same_as() { # MD5 FILE
    [[ -n ${same["$1 $2"]:-} ]] || { cmp -s "$dir/blobs/$1" "$2" && same["$1 $2"]=1 || same["$1 $2"]=0; }
    [[ ${same["$1 $2"]} == 1 ]]
}
# A set holds GEN whole: kernel and devicetree byte for byte, rootfs as the guest found it.
holds() { # GEN_DIR GEN SUFFIX
    local slot v
    for slot in kernel devicetree; do
        v=$slot$3
        [[ ${vtype[$v]:-} == static && ${flags[$v]} == 00 && ${content[$v]} != - ]] &&
            same_as "${content[$v]}" "$1/$slot.bin" || return 1
    done
    [[ ${vtype[rootfs$3]:-} == dynamic && ${flags[rootfs$3]} == 00 && ${content[rootfs$3]} == "$2" ]]
}
set_gen() { # SUFFIX
    if holds "$gen_a" A "$1"; then gen=A
    elif holds "$gen_b" B "$1"; then gen=B
    elif [[ -n ${vtype[kernel$1]:-} ]]; then gen=broken
    else gen=none; fi
}
load() { # STATE
    vtype=() flags=() content=() id=()
    local tag i n t b ebs c u m gen
    while read -r tag i n t b ebs c u m; do
        case $tag in
        vol) id[$n]=$i vtype[$n]=$t flags[$n]=$c$u content[$n]=$m ;;
        env) env_md5=$i ;;
        esac
    done <"$dir/states/$1.txt"
    set_gen ""
    cur=$gen
    set_gen _prev
    prev=$gen
    if [[ -n ${vtype[manifest_trial]:-} ]]; then mark=trial
    elif [[ -n ${vtype[manifest]:-} ]]; then mark=manifest
    else mark=none; fi
    if [[ -z ${vars_of[$env_md5]+set} ]]; then
        echo "$dir/blobs/$env_md5 0x0 0x2000" >"$env_config"
        vars_of[$env_md5]=$(fw_printenv -c "$env_config" 2>/dev/null || echo "unreadable $env_md5")
    fi
    tries=$(sed -n 's/^vexil_tries=//p' <<<"${vars_of[$env_md5]}")
    board="current=$cur prev=$prev marker=$mark"
}
# The manifests and both sets readable: none damaged or half written.
healthy() {
    local v
    for v in kernel devicetree rootfs manifest kernel_prev devicetree_prev rootfs_prev manifest_prev \
        manifest_trial; do
        [[ -z ${flags[$v]:-} || ${flags[$v]} == 00 ]] || return 1
    done
}

# --- the kernel's side -------------------------------------------------------------
# KEY's value in a sweep line.
field() { # KEY LINE
    local re="(^| )$1=([^ ]*)"
    if [[ $2 =~ $re ]]; then echo "${BASH_REMATCH[2]}"; fi
}
# The runs before the sweeps: exit status, empty standard error, and the last
# line of standard output.
check_runs() {
    local a='version 0x20261206 "update new", not signed' b='version 0x20261206 "update next", not signed'
    local name rc last runs=$dir/runs
    while IFS='|' read -r name rc last; do
        [[ $(cat "$runs/$name.rc") == "$rc" ]] || fail "$name: exit status $(cat "$runs/$name.rc"), not $rc"
        [[ ! -s $runs/$name.err ]] || fail "$name: standard error: $(head -n 1 "$runs/$name.err")"
        [[ $(tail -n 1 "$runs/$name.out") == "$last" ]] ||
            fail "$name: ends '$(tail -n 1 "$runs/$name.out")', not '$last'"
    done <<EOF_RUNS
armed|0|volumeExists(rootfs) ->true
status-trial|0|boot: on trial, 3 tries left; booted as trial
confirm|0|confirmed: the current generation ($b) stays current
confirm-again|0|confirmed: nothing is on trial; the current set stays
confirm-check|0|previous generation: whole, $a
fallback-confirm|5|rolled back: the previous generation ($a) is current
fallback-confirm-check|0|previous generation: whole, $b
fallback-rollback|0|rolled back: the previous generation ($a) is current
fallback-rollback-check|0|previous generation: whole, $b
fallback-status|0|boot: not on trial; booted as fallback
refused-crc|7|install stopped: the boot environment cannot be used, so no set could be put on trial: the environment /etc/fw_env.config describes cannot be read: No data available
refused-on-trial|7|install stopped: the current set is still on trial; confirm it (vexil-slots confirm) or go back (vexil-slots rollback) first
EOF_RUNS
    [[ $(head -n 1 "$runs/fallback-confirm.out") == "the set on trial was left: the boot loader fell back to the previous generation" ]] ||
        fail "fallback-confirm: does not say the set on trial was left"
}

# Each step goes from one board to the other; a board on trial has its count.
declare -A from to final_rc
from[install]="current=A prev=none marker=manifest" to[install]="current=B prev=A marker=trial"
from[confirm]="current=B prev=A marker=trial" to[confirm]="current=B prev=A marker=manifest"
from[fallback]="current=B prev=A marker=trial" to[fallback]="current=A prev=B marker=manifest"
final_rc[install]=0 final_rc[confirm]=0 final_rc[fallback]=5
check_kernel() {
    local step line n rc cut checked whole state b classes cuts want total=""
    for step in "${steps[@]}"; do
        classes="" cuts=0
        while read -r line; do
            n=$(field n "$line") rc=$(field rc "$line") cut=$(field cut "$line")
            checked=$(field check "$line") whole=$(field whole "$line") state=$(field state "$line")
            load "$state"
            b=$board
            echo "$step n=$n rc=$rc cut=$cut $b tries=$tries" >>"$dir/boards.txt"
            if [[ $cut == none ]]; then
                [[ $rc == "${final_rc[$step]}" && $b == "${to[$step]}" ]] ||
                    fail "$step: the run no cut reached: status $rc, $b"
            else
                cuts=$((cuts + 1))
                [[ $rc == 4 ]] || fail "$step, cut $n ($cut): status $rc, not 4"
                [[ $b == "${from[$step]}" || $b == "${to[$step]}" ]] ||
                    fail "$step, cut $n ($cut): neither the board before nor the one after: $b"
                [[ $b == "${from[$step]}" ]] && classes+=o || classes+=n
            fi
            healthy || fail "$step, cut $n: a set or manifest volume damaged or half written"
            want=2
            [[ $prev != none ]] || want=1
            [[ $checked == 0 && $whole == "$want" ]] ||
                fail "$step, cut $n: vexil-slots check: status $checked, $whole generation(s) whole"
            [[ $mark != trial || $tries == 3 ]] || fail "$step, cut $n: on trial with vexil_tries $tries"
        done <"$dir/sweep-$step.txt"
        # The rename is the one switch: both its header writes cut, the first
        # leaving the board before, the second the board after.
        [[ $classes =~ ^o+n$ ]] || fail "$step: the boards the cuts left, in order: $classes"
        [[ $(grep ' cut=' "$dir/sweep-$step.txt" | grep -v ' cut=none ' | tail -n 2 |
            grep -c ' cut=vid:rename ') == 2 && $(grep -c ' cut=vid:rename ' "$dir/sweep-$step.txt") == 2 ]] ||
            fail "$step: the last two cuts are not the rename's two header writes"
        total+="$step $cuts, "
    done
    echo "  power-cut points: ${total%, } header writes"
}

# --- U-Boot's side -----------------------------------------------------------------
run=$repo/scripts/uboot/run-uboot.sh
blank() { head -c "$2" /dev/zero | tr '\0' '\377' >"$1"; }
# The board laid out for the rig as uboot-rehearse.sh lays one: the set and
# manifest volumes with their bytes, the others (rootfs, the install's _new
# volumes, the spare) as one empty eraseblock, dynamic (ubinize makes no
# empty static volume), each under its id and name.
rig_ini() {
    local v
    for v in "${!id[@]}"; do
        echo "${id[$v]} $v"
    done | sort -n | while read -r _ v; do
        printf '[%s]\nmode=ubi\nvol_id=%s\nvol_name=%s\n' "$v" "${id[$v]}" "$v"
        if [[ $v =~ ^(kernel|devicetree|manifest)(_prev|_trial)?$ && ${content[$v]} != - ]]; then
            printf 'vol_type=%s\nimage=%s\n' "${vtype[$v]}" "$dir/blobs/${content[$v]}"
        else
            printf 'vol_type=dynamic\nvol_size=1\n'
        fi
    done
}
lay_flash() { # INI FLASH
    ubinize -o "$2.ubi" -p 64KiB -m 1 "$1" >"$2.err" 2>&1 || { cat "$2.err" >&2; return 1; }
    blank "$2" $((16 * 1024 * 1024))
    dd if="$2.ubi" of="$2" conv=notrunc status=none
}
# GEN:MODE for each boot of a run on FLASH and ENV, the board's sets being CUR
# and PREV, until a boot leaves both as it found them: "..." after it, every
# later boot is that one again; a run of it just before is one (U-Boot's first
# attach writes erase counters into the flash's blank eraseblocks).
# "unsettled" after MAX boots. ENV_AFTER_1 gets the environment the first boot
# left; each boot adds a line to BOOTS.
fingerprint() { cat "$1" "$2" | md5sum; }
boot_run() { # FLASH ENV MAX ENV_AFTER_1 CUR PREV BOOTS
    local k before line args root mode gen seq=()
    for ((k = 1; k <= $3; k++)); do
        before=$(fingerprint "$1" "$2")
        echo >>"$7"
        line=$("$run" --flash "$1" --env "$2" --script "$work/boot.scr" --log "$1.log") ||
            { echo "${seq[*]} nothing-booted"; return; }
        ((k > 1)) || cp "$2" "$4"
        args=${line#vexil-booted: }
        root=$(sed -n 's/^ubi\.mtd=NAND\.ubi root=ubi0:\(rootfs\|rootfs_prev\) vexil\.boot=[a-z]*$/\1/p' <<<"$args")
        mode=${args##*vexil.boot=}
        case $root in
        rootfs) gen=$5 ;;
        rootfs_prev) gen=$6 ;;
        *) gen="?" mode="[$args]" ;;
        esac
        seq+=("$gen:$mode")
        if [[ $(fingerprint "$1" "$2") == "$before" ]]; then
            while ((${#seq[@]} > 1)) && [[ ${seq[-1]} == "${seq[-2]}" ]]; do
                unset 'seq[-1]'
            done
            echo "${seq[*]}..."
            return
        fi
    done
    echo "${seq[*]} unsettled"
}
# Boots one board (a directory: rig.ini, env, and "CUR PREV MARKER" in board)
# into its file result.
decide() { # BOARD_DIR
    local b=$1 cur prev mark got first confirmed=""
    read -r cur prev mark <"$b/board"
    lay_flash "$b/rig.ini" "$b/flash.bin"
    blank "$b/env.bin" $((64 * 1024))
    dd if="$b/env" of="$b/env.bin" conv=notrunc status=none
    got=$(boot_run "$b/flash.bin" "$b/env.bin" 8 "$b/env-1.bin" "$cur" "$prev" "$b/boots")
    if [[ $mark == trial ]]; then
        # Confirmed after the first boot: manifest_trial renamed in the rig's
        # copy, the environment as that boot left it.
        sed -i 's/^\[manifest_trial\]$/[manifest]/;s/^vol_name=manifest_trial$/vol_name=manifest/' \
            "$b/rig.ini"
        lay_flash "$b/rig.ini" "$b/flash.bin"
        first=${got%% *}
        confirmed=" || confirmed: ${first%...} | $(boot_run "$b/flash.bin" "$b/env-1.bin" 8 \
            "$b/env-2.bin" "$cur" "$prev" "$b/boots")"
    fi
    rm -f "$b/flash.bin" "$b/flash.bin.ubi"
    cp "$b/rig.ini" "$dir/uboot-boards/${b##*/}.ini"
    echo "$(wc -l <"$b/boots") boots: $got$confirmed" >"$dir/uboot-boards/${b##*/}.txt"
    echo "$got$confirmed" >"$b/result"
}
check_uboot() {
    local info rc step state key k expected got n=0 boards=() jobs
    set +e
    info=$("$repo/scripts/uboot/build-uboot.sh")
    rc=$?
    set -e
    ((rc == 0)) || return "$rc"
    command -v ubinize >/dev/null || { echo "trial_host: ubinize not found" >&2; return 77; }
    work=$(mktemp -d "${TMPDIR:-/tmp}/vexil-trial.XXXXXX")
    "$repo/boot/make-boot-scr.sh" "$work/boot.scr" >/dev/null
    # Each board once: alike are the same volumes with the same bytes and an
    # environment with the same variables (libubootenv 0.3.2 saves heap bytes
    # behind them, under the CRC, different at every save).
    declare -A key_of
    for step in "${steps[@]}"; do
        for state in $(sed -n 's/.* state=\([^ ]*\).*/\1/p' "$dir/sweep-$step.txt"); do
            load "$state"
            rig_ini >"$work/rig.ini"
            key=$( (cat "$work/rig.ini"; echo "${vars_of[$env_md5]}") | md5sum | cut -c1-32)
            key_of[$state]=$key
            [[ ! -d $work/$key ]] || continue
            mkdir "$work/$key"
            mv "$work/rig.ini" "$work/$key/rig.ini"
            cp "$dir/blobs/$env_md5" "$work/$key/env"
            echo "$cur $prev $mark" >"$work/$key/board"
            boards+=("$work/$key")
        done
    done
    jobs=$(nproc)
    ((jobs <= 2)) || jobs=2
    for key in "${boards[@]}"; do
        while (($(jobs -pr | wc -l) >= jobs)); do wait -n || true; done
        decide "$key" &
    done
    wait || true
    for step in "${steps[@]}"; do
        for state in $(sed -n 's/.* state=\([^ ]*\).*/\1/p' "$dir/sweep-$step.txt"); do
            n=$((n + 1))
            load "$state"
            got=$(cat "$work/${key_of[$state]}/result" 2>/dev/null || echo "(no result)")
            echo "$state: $got (board ${key_of[$state]:0:8})" >>"$dir/uboot.txt"
            if [[ $mark == trial ]]; then
                expected=""
                if [[ $tries =~ ^[0-9a-fA-F]{1,2}$ ]]; then
                    for ((k = 0; k < 16#$tries; k++)); do expected+="B:trial "; done
                fi
                expected+="A:fallback... || confirmed: B:trial | B:good..."
            elif [[ $step == confirm ]]; then
                expected="B:good..."
            else
                expected="A:good..."
            fi
            [[ $got == "$expected" ]] ||
                fail "$state ($board, vexil_tries $tries): U-Boot booted $got; want $expected"
        done
    done
    echo "  U-Boot: $n boards, ${#boards[@]} unlike, $(cat "$work"/*/boots 2>/dev/null | wc -l) boots"
}

case $what in
kernel)
    : >"$dir/boards.txt"
    check_runs
    check_kernel
    ;;
uboot)
    if [[ ! -f $dir/sweep-fallback.txt ]]; then
        echo "trial_host: SKIP: no results of the trial part in $dir (run the kernel suite first)" >&2
        exit 77
    fi
    : >"$dir/uboot.txt"
    rm -rf "$dir/uboot-boards"
    mkdir "$dir/uboot-boards"
    check_uboot || exit $?
    ;;
esac
((fails == 0))
