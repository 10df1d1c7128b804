#!/usr/bin/env bash
# One boot of the rig: real U-Boot (the sandbox build of build-uboot.sh) loads
# the boot script and runs it against a NAND.ubi flash and an environment
# area, as the board's bootcmd would. Booting is replaced by printing the
# kernel arguments: the rig sets vexil_boot to
#   echo vexil-booted: ${bootargs}; poweroff
# and prints that line. The rig also sets kernel_addr_r and fdt_addr_r to
# addresses in the sandbox's memory; these three are put back as they were
# when the script saved the environment.
#
# usage: run-uboot.sh --flash FLASH --env ENV [--script BOOT.SCR] [--read-only]
#                     [--log FILE] [--timeout SECONDS]
#   FLASH  file or device: NAND.ubi, 16 MiB (more is ignored), 64 KiB
#          eraseblocks, 1-byte pages (ubinize -p 64KiB -m 1)
#   ENV    file or device of at least 64 KiB (one erase sector): the
#          environment is its first 0x2000 bytes, as libubootenv's
#          fw_env.config line "ENV 0x0 0x2000 0x10000" describes it
#   --script     the boot script image (default: made from
#                boot/vexil-boot.cmd for this run)
#   --read-only  no file can be written (ulimit -f 0): saveenv fails and
#                nothing changes
#   --log        U-Boot's whole console output
# Prints "vexil-booted: BOOTARGS" and exits 0 when the script booted; exits 1
# when U-Boot ended without booting (its last lines on stderr), 2 on a usage
# error, 77 when U-Boot cannot be had here (skip), 124 on a timeout.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
flash_size=$((16 * 1024 * 1024))
env_size=0x2000
env_sector=$((64 * 1024))
# Sandbox addresses: offsets into its 256 MiB of memory.
rig_vars=(kernel_addr_r fdt_addr_r vexil_boot)
rig_values=(0x1000000 0xc00000 'echo vexil-booted: ${bootargs}; poweroff')
script_addr=0x100000

usage() {
    sed -n '/^# usage:/,/^set -euo/{/^set/d;s/^# \{0,1\}//;p}' "$0" >&2
    exit 2
}
die() { echo "run-uboot: $*" >&2; exit 2; }

flash="" env="" script="" read_only=0 log="" timeout=60
while (($#)); do
    case $1 in
    --flash) flash=${2:-}; shift 2 || usage ;;
    --env) env=${2:-}; shift 2 || usage ;;
    --script) script=${2:-}; shift 2 || usage ;;
    --read-only) read_only=1; shift ;;
    --log) log=${2:-}; shift 2 || usage ;;
    --timeout) timeout=${2:-}; shift 2 || usage ;;
    *) usage ;;
    esac
done
[[ -n $flash && -n $env ]] || usage
size_of() { if [[ -b $1 ]]; then blockdev --getsize64 "$1"; else stat -L -c %s "$1"; fi; }
[[ -e $flash ]] || die "no flash $flash"
[[ -e $env ]] || die "no environment area $env"
# The flash emulation loops forever on a read past the end of its file.
(($(size_of "$flash") >= flash_size)) || die "$flash is smaller than 16 MiB"
(($(size_of "$env") >= env_sector)) || die "$env is smaller than one erase sector (64 KiB)"

set +e
info=$("$here/build-uboot.sh")
rc=$?
set -e
((rc == 0)) || exit "$rc"
uboot=$(sed -n 's/^UBOOT=//p' <<<"$info")
dtb=$(sed -n 's/^DTB=//p' <<<"$info")

work=$(mktemp -d "${TMPDIR:-/tmp}/vexil-uboot.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [[ -z $script ]]; then
    script=$work/vexil-boot.scr
    "$repo/boot/make-boot-scr.sh" "$script" >/dev/null
fi
[[ -f $script ]] || die "no boot script $script"
# rig.dts names the flash files relative to where U-Boot runs.
ln -s "$(realpath "$flash")" "$work/nand.bin"
ln -s "$(realpath "$env")" "$work/env.bin"
ln -s "$(realpath "$script")" "$work/boot.scr"
echo "$work/env.bin 0x0 $env_size $env_sector" >"$work/fw_env.config"

before=$(head -c $((env_size)) "$env" | md5sum)
# libubootenv prints an unset variable as empty, and "VAR=" deletes it again.
originals=()
for var in "${rig_vars[@]}"; do
    originals+=("$var=$(fw_printenv -c "$work/fw_env.config" -n "$var" 2>/dev/null || true)")
done

cmd=""
for i in "${!rig_vars[@]}"; do
    cmd+="setenv ${rig_vars[i]} '${rig_values[i]}'; "
done
cmd+="load hostfs - $script_addr boot.scr && source $script_addr"

# The console's lines end in CR LF; the file limit of --read-only must not
# reach the log, hence the pipe.
console=$work/console.log
set +e
(
    cd "$work"
    if ((read_only)); then
        trap '' XFSZ
        ulimit -f 0
    fi
    exec timeout -k 5 "$timeout" "$uboot" -d "$dtb" -c "$cmd" </dev/null 2>&1
) | tr -d '\r' >"$console"
rc=${PIPESTATUS[0]}
set -e
[[ -z $log ]] || cp "$console" "$log"
if ((rc == 124 || rc == 137)); then
    echo "run-uboot: U-Boot did not end within $timeout s" >&2
    exit 124
fi

# The saved environment holds the rig's values: put back the board's.
if [[ $(head -c $((env_size)) "$env" | md5sum) != "$before" ]]; then
    printf '%s\n' "${originals[@]}" >"$work/restore.txt"
    fw_setenv -c "$work/fw_env.config" -s "$work/restore.txt"
fi

line=$(grep -a '^vexil-booted: ' "$console" | tail -n 1) || true
if [[ -z $line ]]; then
    echo "run-uboot: U-Boot ended (status $rc) without booting; its last lines:" >&2
    tail -n 5 "$console" >&2
    exit 1
fi
echo "$line"
