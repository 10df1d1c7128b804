#!/usr/bin/env bash
# The inputs of the peer benchmark (bench/peers/guest.sh): three payloads from
# Debian's own packages and, made from the same three files, one update for
# each contender:
#
#   - kernel.img: the zImage of Debian's armmp kernel (linux-image-armmp:armhf),
#     devicetree.img: its am335x-evm.dtb (the TI board whose NAND partitions
#     the VM's chip has), rootfs.squashfs: a squashfs (xz) of that package's
#     drivers and sound modules, about 30 MiB; cached in /var/cache/vexil-peers;
#   - vexil.img and vexil-signed.img with release.pub (vexil-image);
#   - stream.swu, copy.swu, inplace.swu for SWUpdate: a CMS-signed
#     sw-description, sha256 of every image, cpio -H crc (SWUpdate 2022.12
#     documentation, "Handlers: UBI Volume Handler", "Streaming feature",
#     "Signed images"; Debian's examples/description/single-copy);
#   - bundle.raucb for RAUC (plain format, RAUC 1.8's default), signed with the
#     same test certificate; ca.pem is both tools' trust anchor.
#
#   bench/peers/prepare.sh OUT_DIR VEXIL_IMAGE
#
# OUT_DIR/config.sh gets the sizes and the kernel package's name.
set -euo pipefail
out=$1
vexil_image=$2
here=$(cd "$(dirname "$0")" && pwd)
cache=/var/cache/vexil-peers
mkdir -p "$out" "$cache"

# The armmp kernel the meta package pins; an older cached one when apt cannot say.
kpkg=$(apt-cache depends linux-image-armmp:armhf 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ :]*\).*/\1/p' | head -n1) || true
if [ -z "$kpkg" ] && [ "$(id -u)" -eq 0 ]; then
    dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
    apt-get update -q >/dev/null
    kpkg=$(apt-cache depends linux-image-armmp:armhf |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ :]*\).*/\1/p' | head -n1) || true
fi
[ -n "$kpkg" ] || kpkg=$(ls -1 "$cache" | grep '^linux-image-' | sort -V | tail -n1) || true
if [ -z "$kpkg" ]; then
    echo "prepare: cannot resolve linux-image-armmp:armhf" >&2
    exit 1
fi
payloads=$cache/$kpkg
if [ ! -f "$payloads/.complete" ]; then
    echo "prepare: payloads from $kpkg (once, into $payloads)" >&2
    tmp=$(mktemp -d "$cache/.dl.XXXXXX")
    trap 'rm -rf "$tmp"' EXIT
    # apt's _apt sandbox user must be able to write the download dir.
    chmod 0777 "$tmp"
    (cd "$tmp" && apt-get download -q "$kpkg:armhf" >&2)
    dpkg-deb -x "$tmp"/*.deb "$tmp/root"
    mkdir "$tmp/payloads"
    cp "$tmp"/root/boot/vmlinuz-* "$tmp/payloads/kernel.img"
    cp "$tmp"/root/usr/lib/linux-image-*/am335x-evm.dtb "$tmp/payloads/devicetree.img"
    modules=$(echo "$tmp"/root/lib/modules/*/kernel)
    mksquashfs "$modules/drivers" "$modules/sound" "$tmp/payloads/rootfs.squashfs" -comp xz \
        -all-root -mkfs-time 0 -all-time 0 -noappend -quiet -no-progress >/dev/null
    rm -rf "$payloads"
    mv "$tmp/payloads" "$payloads"
    touch "$payloads/.complete"
    rm -rf "$tmp"
    trap - EXIT
fi
for f in kernel.img devicetree.img rootfs.squashfs; do
    cp "$payloads/$f" "$out/$f"
done
size() { stat -c %s "$out/$1"; }
{
    echo "KERNEL_PACKAGE=$kpkg"
    echo "KERNEL_BYTES=$(size kernel.img) DEVICETREE_BYTES=$(size devicetree.img)"
    echo "ROOTFS_BYTES=$(size rootfs.squashfs)"
} >"$out/config.sh"

# A test CA and a signing certificate, made afresh each run. SWUpdate checks the
# signer's purpose (emailProtection by default); RAUC checks none unless told.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$out/ca.key" -out "$out/ca.pem" -days 365 \
    -subj "/CN=vexil bench CA" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$out/signer.key" -out "$out/signer.csr" \
    -subj "/CN=vexil bench release" 2>/dev/null
openssl x509 -req -in "$out/signer.csr" -CA "$out/ca.pem" -CAkey "$out/ca.key" \
    -CAcreateserial -out "$out/signer.pem" -days 365 \
    -extfile <(printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=emailProtection,codeSigning\n') \
    2>/dev/null

rm -f "$out/vexil.img" "$out/vexil-signed.img" "$out/release" "$out/release.pub"
"$vexil_image" create -o "$out/vexil.img" --version 0x20261207 --descr "bench peers" \
    --kernel "$out/kernel.img" --devicetree "$out/devicetree.img" \
    --rootfs "$out/rootfs.squashfs" >/dev/null
"$vexil_image" keygen -o "$out/release" >/dev/null
"$vexil_image" sign -o "$out/vexil-signed.img" "$out/vexil.img" --key "$out/release" >/dev/null

# SWUpdate: into the spare volumes (_r) and one atomic ubiswap after all of
# them, streamed (installed-directly) or through TMPDIR; or over the current
# volumes, as Debian's single-copy example does.
sw_description() { # SUFFIX DIRECT
    local direct=""
    [ "$2" = no ] || direct="installed-directly = true;"
    cat <<EOF
software =
{
    version = "2026.12.07";
    description = "bench peers";
    hardware-compatibility = [ "1.0" ];
    images: (
EOF
    local sep=""
    for slot in kernel devicetree rootfs; do
        local file=$slot.img
        [ $slot != rootfs ] || file=rootfs.squashfs
        cat <<EOF
        $sep{
            filename = "$file";
            volume = "$slot$1";
            type = "ubivol";
            sha256 = "$(sha256sum <"$out/$file" | cut -d' ' -f1)";
            $direct
        }
EOF
        sep=","
    done
    echo "    );"
    if [ -n "$1" ]; then
        cat <<EOF
    scripts: (
        {
            type = "ubiswap";
            properties: {
                swap-0 = [ "kernel", "kernel$1" ];
                swap-1 = [ "devicetree", "devicetree$1" ];
                swap-2 = [ "rootfs", "rootfs$1" ];
            };
        }
    );
EOF
    fi
    echo "}"
}
swu() { # NAME SUFFIX DIRECT
    local dir=$out/swu-$1
    rm -rf "$dir"
    mkdir "$dir"
    sw_description "$2" "$3" >"$dir/sw-description"
    openssl cms -sign -in "$dir/sw-description" -out "$dir/sw-description.sig" \
        -signer "$out/signer.pem" -inkey "$out/signer.key" -outform DER -nosmimecap -binary
    # Copies, not links: cpio puts files with several links at the end.
    for f in kernel.img devicetree.img rootfs.squashfs; do
        cp "$out/$f" "$dir/$f"
    done
    (cd "$dir" && printf '%s\n' sw-description sw-description.sig kernel.img devicetree.img \
        rootfs.squashfs | cpio -o -H crc --quiet >"$out/$1.swu")
}
swu stream _r yes
swu copy _r no
swu inplace "" no

# RAUC: one image per slot class of the system's slot groups (system.conf).
dir=$out/rauc-bundle
rm -rf "$dir" "$out/bundle.raucb"
mkdir "$dir"
cat >"$dir/manifest.raucm" <<EOF
[update]
compatible=vexil-bench-board
version=2026.12.07

[image.kernel]
filename=kernel.img

[image.devicetree]
filename=devicetree.img

[image.rootfs]
filename=rootfs.squashfs
EOF
for f in kernel.img devicetree.img rootfs.squashfs; do
    ln "$out/$f" "$dir/$f"
done
rauc bundle --cert="$out/signer.pem" --key="$out/signer.key" --keyring="$out/ca.pem" \
    "$dir" "$out/bundle.raucb" >"$out/rauc-bundle.log" 2>&1 || {
    cat "$out/rauc-bundle.log" >&2
    exit 1
}
for f in system.conf fw_env.config u-boot-env dbus-session.conf; do
    cp "$here/$f" "$out/$f"
done
