#!/bin/sh
# What the installer does, done by hand with mtd-utils: three "_new" volumes,
# their updates from the payload files /tmp/IMAGE.0-2, a manifest volume
# updated from /tmp/manifest (its size), and one rename that makes them
# current and keeps the old set as "_prev".
. /bench/config.sh
UBI=/dev/ubi0
ubimkvol $UBI -n 3 -N kernel_new -s $KERNEL_VOLUME -t static >/dev/null &&
    ubimkvol $UBI -n 4 -N devicetree_new -s $DEVICETREE_VOLUME -t static >/dev/null &&
    ubimkvol $UBI -n 5 -N rootfs_new -s $ROOTFS_VOLUME -t dynamic >/dev/null &&
    ubiupdatevol ${UBI}_3 /tmp/$1.0 && ubiupdatevol ${UBI}_4 /tmp/$1.1 &&
    ubiupdatevol ${UBI}_5 /tmp/$1.2 &&
    ubimkvol $UBI -n 6 -N manifest_new -s $MANIFEST_VOLUME -t static >/dev/null &&
    ubiupdatevol ${UBI}_6 /tmp/manifest &&
    ubirename $UBI kernel kernel_prev kernel_new kernel devicetree devicetree_prev \
        devicetree_new devicetree rootfs rootfs_prev rootfs_new rootfs manifest_new manifest
