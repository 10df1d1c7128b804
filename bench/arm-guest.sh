#!/bin/sh
# Guest side of the ARM install benchmark (bench/arm-vm.sh runs it with
# tests/kernel/vmrun.py --arch armhf on nandsim with a real chip's timing):
# the board's installer against the same job by hand with mtd-utils
# (by-hand.sh), and the signed image installed with the trust store in place
# against the same image unsigned without one, in interleaved rounds, every
# run from the same flash holding an older generation (made once, then laid
# back). Wall time and peak RSS of each run from wait4 (peak).
#
# Files: /bench/VexilImageInstaller, /bench/peak (static ARM),
# /bench/by-hand.sh, /bench/config.sh (IMAGES, SIGNED, ROUNDS, the block and
# volume sizes), /bench/IMAGE.img for each image, /bench/SIGNED-signed.img and
# /bench/trusted.pub, the key that signed it.
. /vexil/lib.sh
. /bench/config.sh

UBI=/dev/ubi0
results=/tmp/results.txt
: >$results

# Block N's payload of image $1 into file $3 (blocks 1, 3, 4 in that order).
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
board() {
    if [ -f /tmp/board.img ]; then
        flash_restore /tmp/board.img || exit 1
        return
    fi
    flash_reset || exit 1
    ubimkvol $UBI -n 0 -N kernel -s $KERNEL_VOLUME -t static >/dev/null &&
        ubimkvol $UBI -n 1 -N devicetree -s $DEVICETREE_VOLUME -t static >/dev/null &&
        ubimkvol $UBI -n 2 -N rootfs -s $ROOTFS_VOLUME -t dynamic >/dev/null &&
        ubiupdatevol ${UBI}_0 /tmp/small.0 && ubiupdatevol ${UBI}_1 /tmp/small.1 &&
        ubiupdatevol ${UBI}_2 /tmp/small.2 && flash_save /tmp/board.img || exit 1
}

# The new set is current and holds the image's payloads.
installed() { # IMAGE
    _i=0
    for _name in kernel devicetree rootfs; do
        _id=$(ubi_vol_id $_name) || return 1
        head -c "$(wc -c </tmp/$1.$_i)" /dev/ubi0_$_id | cmp -s - /tmp/$1.$_i || return 1
        _i=$((_i + 1))
    done
}

# "run LABEL IMAGE ROUND SECONDS MAX_RSS_KIB STATUS"; a run that leaves IMAGE
# not current counts as failed (status 99).
measure() { # LABEL IMAGE ROUND COMMAND...
    _label=$1 _image=$2 _round=$3
    shift 3
    rm -f /tmp/measured.txt
    /bench/peak /tmp/measured.txt "$@" >/tmp/out.txt 2>&1
    read -r _seconds _rss _status </tmp/measured.txt || _status=125
    installed "$_image" || _status=99
    echo "run $_label $_image $_round $_seconds $_rss $_status" >>$results
}

# As many bytes as a manifest holds, for the job by hand.
head -c $MANIFEST_BYTES /bench/small.img >/tmp/manifest
for image in $IMAGES; do
    for i in 0 1 2; do payload $image $i /tmp/$image.$i; done
done

for round in $(seq 1 $ROUNDS); do
    for image in $IMAGES; do
        board
        measure installer $image $round /bench/VexilImageInstaller /bench/$image.img
        if [ $image = "$SIGNED" ]; then
            board
            mkdir -p /etc/vexil/trusted-keys && cp /bench/trusted.pub /etc/vexil/trusted-keys/
            measure signed $image $round /bench/VexilImageInstaller /bench/$image-signed.img
            rm -r /etc/vexil
        fi
        board
        measure by-hand $image $round sh /bench/by-hand.sh $image
    done
done

cat $results
emit results.txt $results
