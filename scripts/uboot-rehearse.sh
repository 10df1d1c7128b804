#!/usr/bin/env bash
# Watch the shipped boot script decide, boot after boot, on a board's volumes
# and environment: real U-Boot (scripts/uboot/run-uboot.sh) runs it each time,
# and nothing else runs in between, as on a board whose new system never
# comes up to confirm itself, unless --confirm-at says at which boot it does.
#
# usage: uboot-rehearse.sh --board DIR [--boots N] [--confirm-at K] [--verbose]
#        uboot-rehearse.sh --ubi-ini INI --env ENV [--boots N] [--confirm-at K]
#                          [--verbose]
#   DIR   a board of vexil-board made with --trials yes: its volumes (exported
#         with vexil-board export) and its environment; after each boot the
#         board's cmdline file holds what the boot script put on the kernel
#         command line, so `vexil-board slots DIR status|confirm` see that boot,
#         and a confirm is the board's own `vexil-board slots DIR confirm`.
#         VEXIL_BOARD names the vexil-board program (default: on PATH, else
#         build/tools/vexil-board).
#   INI   the board's volumes as a ubinize configuration (a section per
#         volume: vol_name, vol_type, vol_id, image, vol_size). They are laid
#         out for the rig's 16 MiB flash; U-Boot never reads a rootfs volume,
#         so volumes named rootfs* go in as one empty eraseblock.
#   ENV   the board's U-Boot environment: 0x2000 bytes in libubootenv's format
#         (no redundant copy), as "ENV 0x0 0x2000" in fw_env.config
#         describes it. Each boot's change is written back into it.
#   --boots N       boots to run (default 4)
#   --confirm-at K  after boot K, if it booted the set on trial, the running
#                   system confirms it: manifest_trial becomes manifest
#   --verbose       the kernel arguments of each boot too
# Exit 0 done, 1 a boot failed (U-Boot's last lines on stderr), 2 usage,
# 77 U-Boot cannot be had here.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
run=$here/uboot/run-uboot.sh
env_size=$((0x2000))

usage() {
    sed -n '/^# usage:/,/^set -euo/{/^set/d;s/^# \{0,1\}//;p}' "$0" >&2
    exit 2
}
die() { echo "uboot-rehearse: $*" >&2; exit 2; }

ini="" env="" board="" boots=4 confirm_at=0 verbose=0
while (($#)); do
    case $1 in
    --board) board=${2:-}; shift 2 || usage ;;
    --ubi-ini) ini=${2:-}; shift 2 || usage ;;
    --env) env=${2:-}; shift 2 || usage ;;
    --boots) boots=${2:-}; shift 2 || usage ;;
    --confirm-at) confirm_at=${2:-}; shift 2 || usage ;;
    --verbose) verbose=1; shift ;;
    *) usage ;;
    esac
done
vexil_board=${VEXIL_BOARD:-$(command -v vexil-board || echo "$here/../build/tools/vexil-board")}
if [[ -n $board ]]; then
    [[ -f $board/u-boot-env.bin ]] || die "$board is no board made with --trials yes"
    exported=$(mktemp -d "${TMPDIR:-/tmp}/vexil-rehearse-board.XXXXXX")
    trap 'rm -rf "$exported"' EXIT
    "$vexil_board" export "$board" "$exported" || die "cannot export $board"
    ini=$exported/volumes.ini
    env=$board/u-boot-env.bin
fi
[[ -n $ini && -n $env ]] || usage
[[ $boots =~ ^[0-9]+$ && $confirm_at =~ ^[0-9]+$ ]] || usage
[[ -f $ini ]] || die "no ubinize configuration $ini"
[[ -f $env ]] || die "no environment file $env"
(($(stat -c %s "$env") >= env_size)) || die "$env is smaller than 0x2000 bytes"
command -v ubinize >/dev/null || die "ubinize not found (Debian package mtd-utils)"

work=$(mktemp -d "${TMPDIR:-/tmp}/vexil-rehearse.XXXXXX")
trap 'rm -rf "$work" ${exported:+"$exported"}' EXIT
ini_dir=$(cd "$(dirname "$ini")" && pwd)
blank() { head -c "$2" /dev/zero | tr '\0' '\377' >"$1"; }

# The rig's copy of the volumes: image paths made absolute, rootfs* empty.
# A confirm renames manifest_trial in it, or in the board it was exported from.
awk_rig() {
    awk -v dir="$ini_dir" '
        function flush(i) {
            for (i = 1; i <= n; i++) {
                if (name ~ /^rootfs/ && lines[i] ~ /^(image|vol_size)=/) continue
                print lines[i]
            }
            if (name ~ /^rootfs/) print "vol_size=1"
            n = 0
            name = ""
        }
        /^\[/ { flush() }
        /^vol_name=/ { name = substr($0, 10) }
        /^image=[^\/]/ { $0 = "image=" dir "/" substr($0, 7) }
        { lines[++n] = $0 }
        END { flush() }' "$ini" >"$work/rig.ini"
}
awk_rig
lay_flash() {
    ubinize -o "$work/ubi.img" -p 64KiB -m 1 "$work/rig.ini" >"$work/ubinize.err" 2>&1 ||
        { cat "$work/ubinize.err" >&2; die "ubinize failed"; }
    (($(stat -c %s "$work/ubi.img") <= 16 * 1024 * 1024)) ||
        die "the volumes do not fit the rig's 16 MiB flash"
    blank "$work/flash.bin" $((16 * 1024 * 1024))
    dd if="$work/ubi.img" of="$work/flash.bin" conv=notrunc status=none
}
lay_flash

# The environment area: the board's environment, then erased flash.
blank "$work/env.bin" $((64 * 1024))
dd if="$env" of="$work/env.bin" bs="$env_size" count=1 conv=notrunc status=none
# libubootenv reads the sizes as hex.
echo "$work/env.bin 0x0 0x2000 0x10000" >"$work/fw_env.config"
tries() { fw_printenv -c "$work/fw_env.config" -n vexil_tries 2>/dev/null || echo unset; }

for ((boot = 1; boot <= boots; boot++)); do
    before=$(tries)
    line=$("$run" --flash "$work/flash.bin" --env "$work/env.bin" --log "$work/console.log") || {
        echo "boot $boot: U-Boot booted nothing" >&2
        exit 1
    }
    after=$(tries)
    args=${line#vexil-booted: }
    root=$(sed -n 's/.*root=ubi0:\([^ ]*\).*/\1/p' <<<"$args")
    mode=$(sed -n 's/.*vexil\.boot=\([^ ]*\).*/\1/p' <<<"$args")
    case $mode in
    good) what="the current set ($root)" ;;
    trial) what="trial of the current set ($root)" ;;
    fallback) what="fallback to the previous set ($root)" ;;
    *) what="unexpected kernel arguments" ;;
    esac
    if [[ $before == "$after" ]]; then
        echo "boot $boot: $what, vexil_tries $after"
    else
        echo "boot $boot: $what, vexil_tries $before -> $after"
    fi
    ((verbose == 0)) || echo "  kernel arguments: $args"
    dd if="$work/env.bin" of="$env" bs="$env_size" count=1 conv=notrunc status=none
    [[ -z $board ]] || echo "$args" >"$board/cmdline"
    if ((boot == confirm_at)) && [[ $mode == trial ]]; then
        if [[ -n $board ]]; then
            "$vexil_board" slots "$board" confirm | sed 's/^/  /'
            "$vexil_board" export "$board" "$exported" >/dev/null
            awk_rig
        else
            sed -i 's/^vol_name=manifest_trial$/vol_name=manifest/' "$work/rig.ini"
        fi
        lay_flash
        echo "  the system confirms: manifest_trial renamed to manifest"
    fi
done
