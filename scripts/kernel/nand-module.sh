#!/bin/bash
# Builds the module that lays the boards' partitions over the NAND simulator
# (tests/kernel/nand/nand_parts.c) for the kernel fetch-kernel.sh provides,
# against Debian's linux-headers and linux-kbuild packages of that kernel,
# fetched once with apt-get download into the same cache.
#
#   nand-module.sh [--arch amd64|armhf] OUT_DIR     prints the path of nand_parts.ko
#
# For armhf (Debian's armmp kernel) it cross-builds with Debian's
# gcc-arm-linux-gnueabihf and the host's linux-kbuild of the same upload.
#
# Exit 77 = the kernel, its NAND modules or the headers cannot be had (skip).
set -euo pipefail

CACHE="${VEXIL_KERNEL_CACHE:-/var/cache/vexil-kernel}"
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../../tests/kernel/nand" && pwd)
usage() { echo "usage: nand-module.sh [--arch amd64|armhf] OUT_DIR" >&2; exit 2; }
arch=amd64
if (($# == 3)) && [[ $1 == --arch ]]; then
    arch=$2
    shift 2
fi
(($# == 1)) || usage
out=$1
case $arch in
amd64) mods=(lib/bch.ko drivers/mtd/nand/nandcore.ko drivers/mtd/nand/raw/nand.ko
    drivers/mtd/nand/raw/nandsim.ko) kbuild_args=() build=$out/nand-module ;;
# BCH, the NAND core and raw NAND are built into armmp.
armhf) mods=(drivers/mtd/nand/raw/nandsim.ko) build=$out/nand-module-armhf
    kbuild_args=(ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf-) ;;
*) usage ;;
esac

skip() { echo "nand-module: SKIP: $*" >&2; exit 77; }

set +e
kinfo=$("$here/fetch-kernel.sh" --arch "$arch")
rc=$?
set -e
((rc == 0)) || exit "$rc"
kver=$(sed -n 's/^KVER=//p' <<<"$kinfo")
moddir=$(sed -n 's/^MODULES=//p' <<<"$kinfo")
for m in "${mods[@]}"; do
    [[ -f $moddir/kernel/$m ]] || skip "module $m missing from the kernel package"
done
((${#kbuild_args[@]} == 0)) || command -v arm-linux-gnueabihf-gcc >/dev/null ||
    skip "no arm-linux-gnueabihf-gcc (gcc-arm-linux-gnueabihf) to build the module"

hpkg=linux-headers-$kver
dest=$CACHE/$hpkg
if [[ ! -f $dest/.complete ]]; then
    command -v apt-cache >/dev/null || skip "no apt to fetch $hpkg"
    # The flavour's headers need the common headers and kbuild of the same upload.
    # The flavour's headers are the kernel's architecture; the common headers
    # are for all, kbuild's programs run here, so both are the host's.
    version=$(apt-cache show --no-all-versions "$hpkg:$arch" 2>/dev/null | sed -n 's/^Version: //p' | head -n1)
    [[ -n $version ]] || skip "$hpkg unknown to apt (run apt-get update?)"
    pkgs=("$hpkg:$arch=$version")
    for dep in $(apt-cache depends "$hpkg:$arch" 2>/dev/null |
        sed -n 's/^ *Depends: <\?\(linux-headers-[^:>]*-common\|linux-kbuild-[^:>]*\)[:>]\?.*$/\1/p'); do
        pkgs+=("$dep=$version")
    done
    ((${#pkgs[@]} == 3)) || skip "cannot tell the common headers and kbuild of $hpkg"
    mkdir -p "$CACHE" 2>/dev/null || skip "cannot create $CACHE (set VEXIL_KERNEL_CACHE)"
    [[ -w $CACHE ]] || skip "$CACHE not writable (set VEXIL_KERNEL_CACHE)"
    tmp=$(mktemp -d "$CACHE/.dl.XXXXXX")
    trap 'rm -rf "$tmp"' EXIT
    # apt's _apt sandbox user must be able to write the download dir.
    chmod 0777 "$tmp"
    (cd "$tmp" && apt-get download -q "${pkgs[@]}" >&2) || skip "apt-get download ${pkgs[*]} failed"
    mkdir "$tmp/root"
    for deb in "$tmp"/*.deb; do dpkg-deb -x "$deb" "$tmp/root"; done
    # The flavour's Makefile includes the common one by its installed path.
    sed -i "s|^include /usr/src/|include $dest/usr/src/|" "$tmp/root/usr/src/$hpkg/Makefile"
    rm -rf "$dest"
    mv "$tmp/root" "$dest"
    touch "$dest/.complete"
fi

rm -rf "$build"
mkdir -p "$build"
cp "$src/nand_parts.c" "$build/"
echo 'obj-m := nand_parts.o' >"$build/Kbuild"
if ! make -s -C "$dest/usr/src/$hpkg" M="$build" "${kbuild_args[@]}" modules >"$build/build.log" 2>&1; then
    cat "$build/build.log" >&2
    echo "nand-module: cannot build nand_parts.ko against $hpkg" >&2
    exit 1
fi
echo "$build/nand_parts.ko"
