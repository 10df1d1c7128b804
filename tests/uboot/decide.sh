#!/usr/bin/env bash
# The boot script's decision, made by real U-Boot (scripts/uboot/run-uboot.sh)
# on a NAND.ubi flash laid with ubinize and an environment written with
# libubootenv's fw_setenv, read back with fw_printenv.
# usage: decide.sh [OUT_DIR]   exit 0 all passed, 1 a failure, 77 skipped
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
run=$repo/scripts/uboot/run-uboot.sh
out=${1:-${TMPDIR:-/tmp}/vexil-uboot-decide}

set +e
info=$("$repo/scripts/uboot/build-uboot.sh")
rc=$?
set -e
((rc == 0)) || exit "$rc"
default_env=$(sed -n 's/^DEFAULT_ENV=//p' <<<"$info")
for tool in ubinize fw_setenv fw_printenv mkimage; do
    command -v $tool >/dev/null || { echo "decide: SKIP: $tool not found" >&2; exit 77; }
done

rm -rf "$out"
mkdir -p "$out/vol"
cd "$out"
"$repo/boot/make-boot-scr.sh" boot.scr >/dev/null

# Erased flash reads as 0xFF.
blank() { head -c "$2" /dev/zero | tr '\0' '\377' >"$1"; }

# Each volume's bytes name it, so a wrong load shows.
for v in kernel devicetree rootfs kernel_prev devicetree_prev rootfs_prev; do
    printf 'volume %s\n' $v >vol/$v
done
printf 'record of the current set\n' >vol/manifest
printf 'record of the previous set\n' >vol/manifest_prev
# A flash of NAND.ubi holding VOLUMES; "manifest_trial" holds manifest's bytes.
flash() { # NAME VOLUME...
    local name=$1 id=0 v
    shift
    for v in "$@"; do
        printf '[%s]\nmode=ubi\nvol_id=%d\nvol_type=static\nvol_name=%s\nimage=vol/%s\n' \
            "$v" $id "$v" "${v/manifest_trial/manifest}"
        id=$((id + 1))
    done >"$name.ini"
    ubinize -o "$name.ubi" -p 64KiB -m 1 "$name.ini" >/dev/null 2>&1
    blank "$name.bin" $((16 * 1024 * 1024))
    dd if="$name.ubi" of="$name.bin" conv=notrunc status=none
    # U-Boot's UBI writes erase counters into the eraseblocks ubinize left
    # blank when it first attaches, as ubiformat would have: a first boot
    # does that, so a later one writes to the flash only what the script does.
    blank first-boot.env $((64 * 1024))
    "$run" --flash "$name.bin" --env first-boot.env --script boot.scr >/dev/null
}
sets="kernel devicetree rootfs kernel_prev devicetree_prev rootfs_prev manifest_prev"
flash confirmed $sets manifest
flash trial $sets manifest_trial
flash trial-no-kernel devicetree rootfs kernel_prev devicetree_prev rootfs_prev manifest_prev \
    manifest_trial
flash trial-no-prev kernel devicetree rootfs devicetree_prev rootfs_prev manifest_prev \
    manifest_trial

# An environment area: blank, then VAR=VALUE lines set on top of the rig's
# built-in environment, as a board's fw_setenv does on a blank one. The
# kernel's address is a board's, not the rig's, which the rig must put back.
env_area() { # FILE [VAR=VALUE]...
    local f=$1
    shift
    blank "$f" $((64 * 1024))
    (($#)) || return 0
    printf '%s\n' kernel_addr_r=0x82000000 "$@" >"$f.set"
    echo "$f 0x0 0x2000 0x10000" >"$f.config"
    # It says it starts from the default: the area is blank.
    fw_setenv -c "$f.config" -f "$default_env" -s "$f.set" >/dev/null 2>&1
}
# One bit of the stored data flipped: its CRC no longer matches.
corrupt() { printf '\x01' | dd of="$1" bs=1 seek=100 conv=notrunc status=none; }

good='ubi.mtd=NAND.ubi root=ubi0:rootfs vexil.boot=good'
trial='ubi.mtd=NAND.ubi root=ubi0:rootfs vexil.boot=trial'
fallback='ubi.mtd=NAND.ubi root=ubi0:rootfs_prev vexil.boot=fallback'
args='console=ttyS0,115200 rootfstype=ubifs'

# name | flash | environment | run-uboot option | kernel arguments | vexil_tries after
# ("=": the environment area unchanged)
cases=(
    "good|confirmed|vexil_tries=3||$good|="
    "bootargs|confirmed|vexil_bootargs=$args||$args $good|="
    "trial-3|trial|vexil_tries=3||$trial|2"
    "trial-1|trial|vexil_tries=1||$trial|0"
    "trial-hex|trial|vexil_tries=10||$trial|f"
    "tries-0|trial|vexil_tries=0||$fallback|="
    "tries-missing|trial|vexil_max_tries=3||$fallback|="
    "tries-junk|trial|vexil_tries=zz||$fallback|="
    "env-blank|trial|||$fallback|="
    "env-corrupt|trial|vexil_tries=3 corrupt||$fallback|="
    "saveenv-fails|trial|vexil_tries=3|--read-only|$fallback|="
    "trial-kernel-missing|trial-no-kernel|vexil_tries=3||$fallback|2"
    "prev-missing|trial-no-prev|vexil_tries=0||$trial|="
)

passed=0 failed=0
check() { # NAME DESCRIPTION COMMAND...
    local name=$1 what=$2
    shift 2
    if "$@"; then
        echo "ok   - $name: $what"
        passed=$((passed + 1))
    else
        echo "FAIL - $name: $what"
        failed=$((failed + 1))
    fi
}
for row in "${cases[@]}"; do
    IFS='|' read -r name img setting option want_args want_tries <<<"$row"
    env=$name.env
    case $setting in
    "") env_area "$env" ;;
    *" corrupt") env_area "$env" "${setting% corrupt}" && corrupt "$env" ;;
    *) env_area "$env" "$setting" ;;
    esac
    cp "$img.bin" "$name.flash"
    cp "$env" "$name.env.before"
    got=$("$run" --flash "$name.flash" --env "$env" --script boot.scr ${option:+"$option"} \
        --log "$name.console" --timeout 60) || true
    check "$name" "boots $want_args" [ "$got" == "vexil-booted: $want_args" ]
    echo "$env 0x0 0x2000 0x10000" >"$env.config"
    if [[ $want_tries == = ]]; then
        check "$name" "the environment area unchanged" cmp -s "$name.env.before" "$env"
    else
        # fw_printenv prints an unset variable as empty.
        fw_printenv -c "$env.config" >"$name.env.txt"
        check "$name" "vexil_tries is $want_tries" grep -qx "vexil_tries=$want_tries" "$name.env.txt"
        check "$name" "the rig's settings are put back" \
            eval 'grep -qx kernel_addr_r=0x82000000 "$name.env.txt" && ! grep -q ^vexil_boot= "$name.env.txt"'
    fi
    check "$name" "the flash unchanged" cmp -s "$img.bin" "$name.flash"
done
echo "uboot: $passed passed, $failed failed"
((failed == 0))
