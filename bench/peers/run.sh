#!/usr/bin/env bash
# The peer benchmark: installs Debian's SWUpdate and RAUC (and what they need)
# when missing, makes the payloads and every contender's update
# (prepare.sh), and runs bench/peers/guest.sh in one VM on the NAND simulator
# with the given timing. What the VM measured lands in WORK_DIR/vm-peers.
#
#   bench/peers/run.sh WORK_DIR BUILD_DIR NAND_MODULE NAND_TIMING ROUNDS
#
# BUILD_DIR holds the static VexilImageInstaller and vexil-image, WORK_DIR
# already the static guest tools mtd_image and peak. Exit status: vmrun.py's,
# 77 when something it needs cannot be had.
set -euo pipefail
cd "$(dirname "$0")/../.."
work=$1 build=$2 nand_module=$3 nand_timing=$4 rounds=$5
out=$work/peers

packages=(swupdate rauc dbus-daemon libubootenv-tool openssl squashfs-tools cpio)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "peers: missing Debian packages: ${missing[*]}" >&2
        exit 77
    fi
    # apt may be busy with another install for a moment.
    for i in $(seq 1 30); do
        if DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
            "${missing[@]}" >/dev/null; then
            break
        fi
        [ "$i" -lt 30 ] || exit 77
        sleep 10
    done
fi
moddir=$(scripts/kernel/fetch-kernel.sh | sed -n 's/^MODULES=//p')

bash bench/peers/prepare.sh "$out" "$build/tools/vexil-image"
{
    echo "ROUNDS=$rounds"
    echo "KERNEL_VOLUME=6291456 DEVICETREE_VOLUME=131072 ROOTFS_VOLUME=36700160"
    echo "MANIFEST_VOLUME=4096 MANIFEST_BYTES=118"
} >>"$out/config.sh"

files=()
for f in config.sh kernel.img devicetree.img rootfs.squashfs vexil.img vexil-signed.img \
    release.pub stream.swu copy.swu inplace.swu bundle.raucb ca.pem system.conf \
    fw_env.config u-boot-env dbus-session.conf; do
    files+=(--file "$out/$f:/bench/peers/$f")
done
for tool in swupdate rauc dbus-daemon fw_printenv fw_setenv; do
    files+=(--file "$(command -v "$tool"):/usr/bin/$tool")
done
for m in drivers/block/loop.ko fs/squashfs/squashfs.ko; do
    files+=(--file "$moddir/kernel/$m:/lib/modules/$(basename "$m")")
done
python3 tests/kernel/vmrun.py bench/peers/guest.sh --out "$work/vm-peers" --timeout 3600 \
    --mem 3072 --flash nandsim --nand-module "$nand_module" --nandsim "$nand_timing" \
    --append rauc.slot=A \
    --file "$work/mtd_image:/vexil/mtd_image" \
    --file "$work/peak:/bench/peak" \
    --file "$build/common/VexilImageInstaller:/bench/VexilImageInstaller" \
    --file bench/by-hand.sh:/bench/by-hand.sh \
    --file "$out/config.sh:/bench/config.sh" \
    "${files[@]}"
