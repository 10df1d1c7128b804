#!/bin/bash
# Provide a Debian kernel plus the host tools the real-kernel tests need.
# Prints KEY=VALUE lines (VMLINUZ, MODULES, KVER; VMLINUX, USERLAND when there). Exit 77 = cannot provide (skip).
#
#   fetch-kernel.sh [--arch amd64|armhf]
#
# amd64 (default): Debian's amd64 kernel for qemu-system-x86_64, the guest
# userland from the host's busybox-static and mtd-utils. armhf: the boards'
# architecture, Debian's armmp kernel for qemu-system-arm, and the guest
# userland (busybox, mtd-utils and their libraries) from Debian's armhf
# packages, unpacked into the cache (USERLAND=DIR).
set -euo pipefail

CACHE="${VEXIL_KERNEL_CACHE:-/var/cache/vexil-kernel}"
arch=amd64
if (($#)); then
    [[ $# == 2 && $1 == --arch ]] || { echo "usage: fetch-kernel.sh [--arch amd64|armhf]" >&2; exit 2; }
    arch=$2
fi
case $arch in
amd64) PKGS=(qemu-system-x86 busybox-static mtd-utils cpio libelf1) qemu=qemu-system-x86_64
    meta=linux-image-amd64 flavour=amd64
    mods=(drivers/mtd/mtd.ko drivers/block/brd.ko drivers/mtd/devices/block2mtd.ko drivers/mtd/ubi/ubi.ko) ;;
# armmp has MTD, raw NAND and its ECC engines built in; block2mtd it lacks.
armhf) PKGS=(qemu-system-arm qemu-user-static cpio) qemu=qemu-system-arm
    meta=linux-image-armmp:armhf flavour=armmp
    mods=(drivers/mtd/nand/raw/nandsim.ko drivers/mtd/ubi/ubi.ko) ;;
*) echo "fetch-kernel: unknown architecture $arch" >&2; exit 2 ;;
esac

skip() { echo "fetch-kernel: SKIP: $*" >&2; exit 77; }

# A new directory in the cache to download into, gone when this script ends;
# apt's _apt sandbox user must be able to write it.
downloads=()
trap 'rm -rf "${downloads[@]}"' EXIT
download_dir() {
    mkdir -p "$CACHE" 2>/dev/null || skip "cannot create $CACHE (set VEXIL_KERNEL_CACHE)"
    [[ -w $CACHE ]] || skip "$CACHE not writable (set VEXIL_KERNEL_CACHE)"
    downloads+=("$(mktemp -d "$CACHE/.dl.XXXXXX")")
    chmod 0777 "${downloads[-1]}"
}

scripts=$(cd "$(dirname "$0")/.." && pwd)
apt_retry() { "$scripts/apt-retry.sh" "$@"; }

# Another architecture's packages need apt to know it.
if [[ $arch != $(dpkg --print-architecture) ]] &&
    ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    [[ $(id -u) == 0 ]] || skip "apt does not know $arch and not root to add it"
    dpkg --add-architecture "$arch"
    apt_retry apt-get update -q || skip "apt-get update failed"
fi

missing=()
for p in "${PKGS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    [[ $(id -u) == 0 ]] || skip "packages missing (${missing[*]}) and not root to install them"
    apt_retry apt-get install -y -q --no-install-recommends "${missing[@]}" ||
        skip "apt-get install ${missing[*]} failed"
fi
command -v "$qemu" >/dev/null || skip "$qemu not found"

# The meta package pins the exact image package; an older cached image stays usable offline.
kpkg=""
if command -v apt-cache >/dev/null; then
    kpkg=$(apt-cache depends "$meta" 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ :]*-'"$flavour"'\)\(:'"$arch"'\)\?$/\1/p' |
        head -n1) || true
fi
if [[ -z $kpkg ]]; then
    kpkg=$(ls -1 "$CACHE" 2>/dev/null | grep "^linux-image-.*-$flavour\$" | sort -V | tail -n1) || true
    [[ -n $kpkg ]] || skip "cannot resolve $meta (run apt-get update?)"
fi

dest="$CACHE/$kpkg"
if [[ ! -f $dest/.complete ]]; then
    download_dir
    tmp=${downloads[-1]}
    (cd "$tmp" && apt-get download -q "$kpkg:$arch" >&2) || skip "apt-get download $kpkg failed"
    mkdir "$tmp/root"
    dpkg-deb -x "$tmp"/*.deb "$tmp/root"
    find "$tmp/root/lib/modules" -name '*.ko.xz' -exec xz -d {} + 2>/dev/null || true
    find "$tmp/root/lib/modules" -name '*.ko.zst' -exec zstd -q -d --rm {} + 2>/dev/null || true
    # qemu boots an uncompressed ELF vmlinux through PVH, skipping ~4 s of
    # emulated xz decompression per boot. Optional: vmlinuz still works.
    [[ $arch != amd64 ]] ||
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
for m in "${mods[@]}"; do
    [[ -f $moddir/kernel/$m ]] || skip "module $m missing from $kpkg"
done

# A foreign guest userland: the armhf busybox and mtd-utils with the libraries
# they need, unpacked from Debian's packages (the host's cannot run there).
userland=""
if [[ $arch != $(dpkg --print-architecture) ]]; then
    tools=(busybox-static mtd-utils)
    # The packages' versions name the copy; offline, the newest copy there is serves.
    versions=""
    for p in "${tools[@]}"; do
        v=$(apt-cache show --no-all-versions "$p:$arch" 2>/dev/null | sed -n 's/^Version: //p' | head -n1)
        versions+=${v:+-$p-${v//:/_}}
    done
    if ((${#versions} > 0)); then
        userland=$CACHE/userland-$arch$versions
    else
        userland=$(ls -1d "$CACHE/userland-$arch-"* 2>/dev/null | sort -V | tail -n1) ||
            skip "cannot resolve ${tools[*]} for $arch (run apt-get update?)"
    fi
    if [[ ! -f $userland/.complete ]]; then
        download_dir
        utmp=${downloads[-1]}
        pkgs=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
            --no-replaces --no-enhances "${tools[@]/%/:$arch}" | grep "^[a-z0-9].*:$arch\$" | sort -u)
        # shellcheck disable=SC2086 # one word a package
        (cd "$utmp" && apt-get download -q $pkgs >&2) || skip "apt-get download of the $arch userland failed"
        mkdir "$utmp/root"
        for deb in "$utmp"/*.deb; do dpkg-deb -x "$deb" "$utmp/root"; done
        rm -rf "$userland"
        mv "$utmp/root" "$userland"
        touch "$userland/.complete"
    fi
fi

echo "KVER=$kver"
echo "VMLINUZ=$vmlinuz"
echo "MODULES=$moddir"
[[ ! -f $dest/boot/vmlinux ]] || echo "VMLINUX=$dest/boot/vmlinux"
[[ -z $userland ]] || echo "USERLAND=$userland"
