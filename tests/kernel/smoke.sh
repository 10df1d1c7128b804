#!/bin/sh
# Smoke test of the real-kernel harness: volumes, update, atomic rename,
# sysfs attributes and an emulated power cut in the middle of an update.
. /vexil/lib.sh

up() { cut -d' ' -f1 /proc/uptime; }
attr() { cat /sys/class/ubi/ubi0/ubi0_$1/$2; }

# Deterministic payloads (no /dev/urandom: runs must be comparable).
seq 1 60000 >/tmp/img300k            # 328894 bytes: 3 LEBs
head -c 300000 /tmp/img300k >/tmp/kernel.img
seq 1 200000 | head -c 1048576 >/tmp/rootfs.img   # 1 MiB: 9 LEBs

# --- case 1: volumes, update, rename -------------------------------------
t0=$(up)
flash_reset
check "mkvol kernel (static)" ubimkvol /dev/ubi0 -n 0 -N kernel -s 4MiB -t static
check "mkvol rootfs (dynamic)" ubimkvol /dev/ubi0 -n 1 -N rootfs -s 16MiB -t dynamic
check "mkvol rootfs_new (dynamic)" ubimkvol /dev/ubi0 -n 2 -N rootfs_new -s 16MiB
check "update kernel" ubiupdatevol /dev/ubi0_0 /tmp/kernel.img
check "update rootfs_new" ubiupdatevol /dev/ubi0_2 /tmp/rootfs.img
ubi_vols >/tmp/vols-before.txt
# Swap in one ioctl: rootfs -> rootfs_old, rootfs_new -> rootfs.
check "atomic rename" ubirename /dev/ubi0 rootfs rootfs_old rootfs_new rootfs
ubi_vols >/tmp/vols-after.txt
check "rootfs is now id 2" [ "$(ubi_vol_id rootfs)" = 2 ]
check "rootfs_old is now id 1" [ "$(ubi_vol_id rootfs_old)" = 1 ]
check "static data_bytes = image size" [ "$(attr 0 data_bytes)" = 300000 ]
check "dynamic data_bytes = reserved size" \
    [ "$(attr 2 data_bytes)" = $(($(attr 2 reserved_ebs) * $(cat /sys/class/ubi/ubi0/eraseblock_size))) ]
# A static volume reads back exactly its data; a dynamic one its whole size.
check "static read-back" cmp /dev/ubi0_0 /tmp/kernel.img
check "dynamic read-back prefix" sh -c 'head -c 1048576 /dev/ubi0_2 | cmp - /tmp/rootfs.img'
# Survives a re-attach (everything is on flash, not just in RAM).
ubi_reattach
ubi_vols >/tmp/vols-reattached.txt
check "same after re-attach" cmp /tmp/vols-after.txt /tmp/vols-reattached.txt
for v in 0 1 2; do
    for a in name type data_bytes reserved_ebs corrupted upd_marker alignment usable_eb_size; do
        echo "ubi0_$v/$a=$(attr $v $a)"
    done
done >/tmp/sysfs.txt
for a in eraseblock_size avail_eraseblocks total_eraseblocks max_vol_count min_io_size \
    reserved_for_bad bad_peb_count max_ec volumes_count; do
    echo "ubi0/$a=$(cat /sys/class/ubi/ubi0/$a)"
done >>/tmp/sysfs.txt
emit vols-before.txt /tmp/vols-before.txt
emit vols-after.txt /tmp/vols-after.txt
emit sysfs.txt /tmp/sysfs.txt
ubinfo -a | emit ubinfo.txt -
t1=$(up)
echo "time case1 $t0 $t1"

# --- case 2: power cut during ubiupdatevol --------------------------------
# Header writes for a 9-LEB update of a dynamic volume: 2 (volume table copies
# get the update marker), 9 (one VID header per data LEB), 2 (marker cleared).
# The first header write after arming starts the count: min=N cuts write N+1.
: >/tmp/powercut.txt
for n in 1 6 12 14; do
    t0=$(up)
    flash_reset
    ubimkvol /dev/ubi0 -n 0 -N rootfs -s 16MiB >/dev/null
    dmesg -c >/dev/null
    powercut_arm "$n"
    if ubiupdatevol /dev/ubi0_0 /tmp/rootfs.img 2>/tmp/err.txt; then upd=ok; else upd=failed; fi
    ro=$(cat /sys/class/ubi/ubi0/ubi0_0/upd_marker)
    if ubimkvol /dev/ubi0 -N other -s 1MiB >/dev/null 2>&1; then rw=yes; else rw=no; fi
    ubi_reattach
    echo "n=$n update=$upd marker_in_ram=$ro mkvol_after_cut=$rw cut_in=$(powercut_where) vol: $(ubi_vols)" >>/tmp/powercut.txt
    if [ "$(attr 0 upd_marker)" = 0 ]; then
        head -c 1048576 /dev/ubi0_0 | cmp -s - /tmp/rootfs.img && d=intact || d=different
        echo "  data=$d" >>/tmp/powercut.txt
    fi
    t1=$(up)
    echo "time powercut n=$n $t0 $t1"
done
cat /tmp/powercut.txt
emit powercut.txt /tmp/powercut.txt
# The cut lands while the marker is set: interrupted update must show it.
check "cut at n=6 fails the update" grep -q '^n=6 update=failed' /tmp/powercut.txt
check "cut at n=6 leaves upd_marker=1" grep -q '^n=6 .* rootfs dynamic [0-9]* [0-9]* 0 1$' /tmp/powercut.txt
check "cut at n=12 (last data LEB) fails" grep -q '^n=12 update=failed' /tmp/powercut.txt
check "after a cut the device is read-only" grep -q '^n=1 .* mkvol_after_cut=no ' /tmp/powercut.txt
check "n=6 cut a VID header write" grep -q '^n=6 .*cut_in=vid:data ' /tmp/powercut.txt

echo "smoke: $fails failure(s)"
[ "$fails" = 0 ]
