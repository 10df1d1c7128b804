#!/bin/sh
# Cut the power at each UBI header write of one whole install in turn, then
# re-attach: kernel, devicetree and rootfs must be one whole, healthy
# generation (all old or all new), and a rerun must install the new set.
# Ends with the first install that the armed cut does not reach. Runs on
# either flash, and on the NAND simulator with faults too.
. /vexil/lib.sh

I=/vexil/VexilImageInstaller
board_make cur old || { echo "cannot make the board"; exit 1; }
flash_save /tmp/board.img

cut_step() { $I /vexil/img/new.img >/tmp/out.txt 2>&1; }
cut_judge() {
    after=$(generation cur new)
    $I /vexil/img/new.img >/tmp/rerun.txt 2>&1
    rerun=$?
    echo "after=$after rerun=$rerun final=$(generation cur new)"
}
powercut_sweep 300
emit installer-powercut.txt /tmp/sweep.txt
# What the flash went through: bad eraseblocks, bits the ECC corrected, reads it could not.
for a in /sys/class/ubi/ubi0/bad_peb_count /sys/class/mtd/mtd$VEXIL_MTD/corrected_bits \
    /sys/class/mtd/mtd$VEXIL_MTD/ecc_failures; do
    echo "${a##*/} $(cat $a)"
done | emit flash.txt -
