#!/bin/sh
# Guest side of the install benchmark (run by tests/kernel/vmrun.py, on
# block2mtd or on the NAND simulator with its timing): the installer against
# the same job done by hand with mtd-utils, same images, same boot, every run
# from the same flash holding an older generation (made once, then laid back).
# After each install by the installer, one plain read of each new volume's
# payload. Also one traced install per image for the system calls.
#
# Files: /bench/VexilImageInstaller (static), /bench/by-hand.sh, and
# /bench/IMAGE.img for each image named in /bench/config.sh, which also gives
# the block sizes, the volume sizes and ROUNDS.
. /vexil/lib.sh
. /bench/config.sh

UBI=/dev/ubi0
results=/tmp/results.txt
: >$results

# Block N's payload of image $1 into file $2 (blocks 1, 3, 4 in that order).
payload() { # IMAGE BLOCK_INDEX OUT
    eval "_k=\$${1}_KERNEL _d=\$${1}_DEVICETREE _r=\$${1}_ROOTFS"
    case $2 in
    0) _off=72 _size=$_k ;;
    1) _off=$((84 + _k)) _size=$_d ;;
    2) _off=$((96 + _k + _d)) _size=$_r ;;
    esac
    tail -c +$((_off + 1)) /bench/$1.img | head -c $_size >$3
}

# The current generation the installs replace: the small image's payloads.
# Made once and copied; every run starts from that copy.
board_with_old_generation() {
    if [ -f /tmp/board.img ]; then
        flash_restore /tmp/board.img || exit 1
        return
    fi
    flash_reset || exit 1
    ubimkvol $UBI -n 0 -N kernel -s $KERNEL_VOLUME -t static >/dev/null &&
        ubimkvol $UBI -n 1 -N devicetree -s $DEVICETREE_VOLUME -t static >/dev/null &&
        ubimkvol $UBI -n 2 -N rootfs -s $ROOTFS_VOLUME -t dynamic >/dev/null &&
        ubiupdatevol ${UBI}_0 /tmp/old.0 && ubiupdatevol ${UBI}_1 /tmp/old.1 &&
        ubiupdatevol ${UBI}_2 /tmp/old.2 && flash_save /tmp/board.img || exit 1
}

slot_name() { case $1 in 0) echo kernel ;; 1) echo devicetree ;; 2) echo rootfs ;; esac; }

# The new set is current and holds the image's payloads.
installed() { # IMAGE
    for _i in 0 1 2; do
        _id=$(ubi_vol_id "$(slot_name $_i)") || return 1
        _size=$(wc -c </tmp/$1.$_i)
        head -c $_size /dev/ubi0_$_id | cmp -s - /tmp/$1.$_i || return 1
    done
}

# Seconds and peak RSS (KiB) from busybox time -v.
measure() { # LABEL IMAGE ROUND COMMAND...
    _label=$1 _image=$2 _round=$3
    shift 3
    time -v -o /tmp/time.txt "$@" >/tmp/out.txt 2>&1
    _status=$?
    installed $_image || _status=99
    record "$_label" "$_image" "$_round" "$_status"
}
record() { # LABEL IMAGE ROUND STATUS
    _elapsed=$(sed -n 's/.*Elapsed (wall clock).*: //p' /tmp/time.txt)
    _rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' /tmp/time.txt)
    echo "run $1 $2 $3 $_elapsed $_rss $4" >>$results
}

# One read of each new volume's payload, in one dd request each.
read_payloads() { # IMAGE ROUND
    for _i in 0 1 2; do
        _id=$(ubi_vol_id "$(slot_name $_i)") || exit 1
        _size=$(wc -c </tmp/$1.$_i)
        time -v -o /tmp/time.txt dd if=/dev/ubi0_$_id of=/dev/null bs=$_size count=1 2>/dev/null
        record "read-$(slot_name $_i)" "$1" "$2" $?
    done
}

payload small 0 /tmp/old.0
payload small 1 /tmp/old.1
payload small 2 /tmp/old.2
for image in $IMAGES; do
    for i in 0 1 2; do payload $image $i /tmp/$image.$i; done
done

for round in $(seq 1 $ROUNDS); do
    for image in $IMAGES; do
        board_with_old_generation
        measure installer $image $round /bench/VexilImageInstaller /bench/$image.img
        read_payloads $image $round
        board_with_old_generation
        measure by-hand $image $round sh /bench/by-hand.sh $image
    done
done

for image in $IMAGES; do
    board_with_old_generation
    strace -f -ttt -s 0 -o /tmp/strace.$image.txt /bench/VexilImageInstaller /bench/$image.img \
        >/tmp/out.txt 2>&1
    echo "traced $image $?" >>$results
    emit strace.$image.txt /tmp/strace.$image.txt
done

cat $results
emit results.txt $results
