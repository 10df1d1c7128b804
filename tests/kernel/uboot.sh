#!/bin/sh
# U-Boot decides on the bytes the kernel wrote. The kernel lays both sets and
# the trial marker on NAND.ubi (block2mtd, 64 KiB eraseblocks) and writes the
# count with libubootenv's fw_setenv on the env partition; after a detach (the
# reboot) real U-Boot, the sandbox rig of scripts/uboot, runs the boot script
# on the same MTD devices; then the kernel reads what U-Boot left.
. /vexil/lib.sh

# libubootenv 0.3.2 takes no MTD of block2mtd's type (RAM), so it goes
# through the RAM disk under the env partition: the same bytes. It locks
# /var/lock/fw_printenv.lock.
echo "/dev/ram1 0x0 0x2000 0x10000" >/etc/fw_env.config
mkdir -p /var/lock

vol() { # NAME static|dynamic
    printf 'volume %s\n' "$1" >/tmp/vol.$1
    ubimkvol /dev/ubi0 -N "$1" -s 64KiB -t "$2" >/dev/null &&
        ubiupdatevol /dev/ubi0_"$(ubi_vol_id "$1")" /tmp/vol.$1
}
# Every volume holds what the kernel wrote into it.
vols_intact() {
    for _v in $(ubi_names); do
        _id=$(ubi_vol_id "$_v")
        head -c "$(wc -c </tmp/vol.$_v)" /dev/ubi0_"$_id" | cmp -s - /tmp/vol.$_v || return 1
    done
}
ubi_names() { cat /sys/class/ubi/ubi0/ubi0_*/name; }

# U-Boot's flash files are the kernel's MTD devices (rig.dts: env.bin, nand.bin).
mkdir /tmp/rig
ln -s /dev/mtd1 /tmp/rig/env.bin
ln -s /dev/mtd2 /tmp/rig/nand.bin
ln -s /vexil/boot.scr /tmp/rig/boot.scr
# One boot, with the rig's settings of run-uboot.sh; the kernel arguments
# the script booted with in $booted.
n=0
uboot_boot() {
    n=$((n + 1))
    ubi_detach
    (cd /tmp/rig && timeout 120 /vexil/u-boot -d /vexil/rig.dtb -c \
        "setenv kernel_addr_r 0x1000000; setenv fdt_addr_r 0xc00000; setenv vexil_boot 'echo vexil-booted: \${bootargs}; poweroff'; load hostfs - 0x100000 boot.scr && source 0x100000" \
        </dev/null 2>&1 | tr -d '\r' >/tmp/console.$n)
    emit "console.$n" /tmp/console.$n
    booted=$(sed -n 's/^vexil-booted: //p' /tmp/console.$n)
    ubi_attach
}
tries() { fw_printenv -n vexil_tries 2>/dev/null; }

for v in kernel devicetree kernel_prev devicetree_prev manifest_prev manifest_trial; do
    check "make $v" vol $v static
done
for v in rootfs rootfs_prev; do check "make $v" vol $v dynamic; done
# A blank env partition: fw_setenv starts from U-Boot's built-in environment
# (and says so).
arm() { fw_setenv -f /vexil/default-env.txt vexil_tries "$1" >/dev/null 2>&1; }
check "fw_setenv vexil_tries 1" arm 1

uboot_boot
check "boot 1: the set on trial" \
    [ "$booted" = "ubi.mtd=NAND.ubi root=ubi0:rootfs vexil.boot=trial" ]
check "boot 1: fw_printenv reads the count U-Boot saved: 0" [ "$(tries)" = 0 ]
check "boot 1: the volumes as the kernel wrote them" vols_intact

uboot_boot
check "boot 2: no boots left, the previous set" \
    [ "$booted" = "ubi.mtd=NAND.ubi root=ubi0:rootfs_prev vexil.boot=fallback" ]
check "boot 2: the volumes as the kernel wrote them" vols_intact

# The running system confirms: the marker becomes the record.
mv /tmp/vol.manifest_trial /tmp/vol.manifest
check "confirm: rename manifest_trial to manifest" ubirename /dev/ubi0 manifest_trial manifest
uboot_boot
check "boot 3: confirmed, the current set" \
    [ "$booted" = "ubi.mtd=NAND.ubi root=ubi0:rootfs vexil.boot=good" ]
check "boot 3: the volumes as the kernel wrote them" vols_intact

exit $fails
