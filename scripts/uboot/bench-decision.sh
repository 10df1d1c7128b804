#!/usr/bin/env bash
# How long one decision of the boot script takes in the rig: U-Boot alone
# (start, environment, UBI attach of the 16 MiB flash, the script, a trial
# boot with its saveenv) and through run-uboot.sh, N runs each.
# usage: bench-decision.sh [N]   (default 5) exit 77 when U-Boot cannot be had
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
runs=${1:-5}

set +e
info=$("$here/build-uboot.sh")
rc=$?
set -e
((rc == 0)) || exit "$rc"
get() { sed -n "s/^$1=//p" <<<"$info"; }
uboot=$(get UBOOT) dtb=$(get DTB) default_env=$(get DEFAULT_ENV)

work=$(mktemp -d "${TMPDIR:-/tmp}/vexil-bench-uboot.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
blank() { head -c "$2" /dev/zero | tr '\0' '\377' >"$1"; }
id=0
for v in kernel devicetree rootfs kernel_prev devicetree_prev rootfs_prev manifest_trial; do
    head -c 65536 /dev/zero >"$v"
    printf '[%s]\nmode=ubi\nvol_id=%d\nvol_type=static\nvol_name=%s\nimage=%s\n' "$v" $id "$v" "$v"
    id=$((id + 1))
done >flash.ini
ubinize -o flash.ubi -p 64KiB -m 1 flash.ini >/dev/null 2>&1
blank nand.bin $((16 * 1024 * 1024))
dd if=flash.ubi of=nand.bin conv=notrunc status=none
"$repo/boot/make-boot-scr.sh" boot.scr >/dev/null
# A large count: every run is a trial boot with a saveenv.
arm() {
    blank env.bin $((64 * 1024))
    echo "env.bin 0x0 0x2000 0x10000" >fw_env.config
    echo vexil_tries=ffff >set.txt
    fw_setenv -c fw_env.config -f "$default_env" -s set.txt >/dev/null 2>&1
}
arm
# The first attach writes the blank eraseblocks' headers: not timed.
"$here/run-uboot.sh" --flash nand.bin --env env.bin --script boot.scr >/dev/null

cmd="setenv kernel_addr_r 0x1000000; setenv fdt_addr_r 0xc00000"
cmd+="; setenv vexil_boot 'echo vexil-booted: \${bootargs}; poweroff'"
cmd+="; load hostfs - 0x100000 boot.scr && source 0x100000"
measure() { # LABEL COMMAND...
    local label=$1 i
    shift
    for ((i = 0; i < runs; i++)); do
        /usr/bin/time -f '%e %U %S' -o time.txt "$@" >/dev/null 2>&1
        cat time.txt
    done | sort -n | awk -v label="$label" '
        { wall[NR] = $1; cpu[NR] = $2 + $3 }
        END { printf "%-14s median %.2f s wall (min %.2f, max %.2f), %.2f s CPU, %d runs\n",
                     label, wall[int((NR + 1) / 2)], wall[1], wall[NR], cpu[int((NR + 1) / 2)], NR }'
}
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
measure "U-Boot alone" "$uboot" -d "$dtb" -c "$cmd"
measure "run-uboot.sh" "$here/run-uboot.sh" --flash nand.bin --env env.bin --script boot.scr
