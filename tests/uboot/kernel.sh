#!/usr/bin/env bash
# The boot script on the real kernel's bytes: one VM (tests/kernel/vmrun.py,
# block2mtd with 64 KiB eraseblocks and a 16 MiB NAND.ubi, the rig's flash
# chip) runs tests/kernel/uboot.sh, where the kernel writes the volumes and
# the environment and the rig's U-Boot decides on the same MTD devices.
# usage: kernel.sh [OUT_DIR]   exit 0 passed, 1 failed, 77 skipped
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
out=${1:-${TMPDIR:-/tmp}/vexil-uboot-kernel}

set +e
info=$("$repo/scripts/uboot/build-uboot.sh")
rc=$?
set -e
((rc == 0)) || exit "$rc"
get() { sed -n "s/^$1=//p" <<<"$info"; }

rm -rf "$out"
mkdir -p "$out"
"$repo/boot/make-boot-scr.sh" "$out/boot.scr" >/dev/null
files=(--file "$(get UBOOT):/vexil/u-boot" --file "$(get DTB):/vexil/rig.dtb"
       --file "$out/boot.scr:/vexil/boot.scr" --file "$(get DEFAULT_ENV):/vexil/default-env.txt")
for tool in fw_setenv fw_printenv; do
    path=$(command -v $tool) || { echo "kernel: SKIP: $tool not found" >&2; exit 77; }
    files+=(--file "$path:/usr/bin/$tool")
done
rc=0
python3 "$repo/tests/kernel/vmrun.py" "$repo/tests/kernel/uboot.sh" --out "$out/vm" \
    --timeout 300 --nand-mb 16 --peb-kb 64 "${files[@]}" || rc=$?
cat "$out/vm/guest.log" 2>/dev/null || true
exit "$rc"
