#!/bin/bash
# Provide a Debian kernel plus the host tools the real-kernel tests need.
# Prints KEY=VALUE lines (VMLINUZ, MODULES, KVER). Exit 77 = cannot provide (skip).
set -euo pipefail

CACHE="${VEXIL_KERNEL_CACHE:-/var/cache/vexil-kernel}"
PKGS=(qemu-system-x86 busybox-static mtd-utils cpio libelf1)

skip() { echo "fetch-kernel: SKIP: $*" >&2; exit 77; }

missing=()
for p in "${PKGS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    [[ $(id -u) == 0 ]] || skip "packages missing (${missing[*]}) and not root to install them"
    # apt may be busy with another install started in the background.
    for i in $(seq 1 60); do
        if DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2; then
            break
        fi
        ((i == 60)) && skip "apt-get install ${missing[*]} failed"
        sleep 10
    done
fi
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 not found"

# The meta package pins the exact image package; an older cached image stays usable offline.
kpkg=""
if command -v apt-cache >/dev/null; then
    kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n1) || true
fi
if [[ -z $kpkg ]]; then
    kpkg=$(ls -1 "$CACHE" 2>/dev/null | grep '^linux-image-' | sort -V | tail -n1) || true
    [[ -n $kpkg ]] || skip "cannot resolve linux-image-amd64 (run apt-get update?)"
fi

dest="$CACHE/$kpkg"
if [[ ! -f $dest/.complete ]]; then
    mkdir -p "$CACHE" 2>/dev/null || skip "cannot create $CACHE (set VEXIL_KERNEL_CACHE)"
    [[ -w $CACHE ]] || skip "$CACHE not writable (set VEXIL_KERNEL_CACHE)"
    tmp=$(mktemp -d "$CACHE/.dl.XXXXXX")
    trap 'rm -rf "$tmp"' EXIT
    # apt's _apt sandbox user must be able to write the download dir.
    chmod 0777 "$tmp"
    (cd "$tmp" && apt-get download -q "$kpkg" >&2) || skip "apt-get download $kpkg failed"
    mkdir "$tmp/root"
    dpkg-deb -x "$tmp"/*.deb "$tmp/root"
    find "$tmp/root/lib/modules" -name '*.ko.xz' -exec xz -d {} + 2>/dev/null || true
    find "$tmp/root/lib/modules" -name '*.ko.zst' -exec zstd -q -d --rm {} + 2>/dev/null || true
    # qemu boots an uncompressed ELF vmlinux through PVH, skipping ~4 s of
    # emulated xz decompression per boot. Optional: vmlinuz still works.
    python3 - "$tmp"/root/boot/vmlinuz-* "$tmp/root/boot/vmlinux" <<'PY' || rm -f "$tmp/root/boot/vmlinux"
import lzma, subprocess, sys
data = open(sys.argv[1], "rb").read()
i = data.find(b"\xfd7zXZ\x00")
elf = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[i:]) if i >= 0 else b""
if not elf.startswith(b"\x7fELF"):
    sys.exit(1)
open(sys.argv[2], "wb").write(elf)
# PVH entry note (type 18) must be there or qemu refuses the ELF.
notes = subprocess.run(["readelf", "-n", sys.argv[2]], capture_output=True, text=True).stdout
sys.exit(0 if "0x00000012" in notes else 1)
PY
    rm -rf "$dest"
    mv "$tmp/root" "$dest"
    touch "$dest/.complete"
fi

vmlinuz=$(ls -1 "$dest"/boot/vmlinuz-* | head -n1)
kver=${vmlinuz##*/vmlinuz-}
moddir="$dest/lib/modules/$kver"
for m in drivers/mtd/mtd.ko drivers/block/brd.ko drivers/mtd/devices/block2mtd.ko drivers/mtd/ubi/ubi.ko; do
    [[ -f $moddir/kernel/$m ]] || skip "module $m missing from $kpkg"
done
echo "KVER=$kver"
echo "VMLINUZ=$vmlinuz"
echo "MODULES=$moddir"
[[ ! -f $dest/boot/vmlinux ]] || echo "VMLINUX=$dest/boot/vmlinux"
