#!/bin/sh
# Guest side of the install benchmark (run by tests/kernel/vmrun.py, on
# block2mtd or on the NAND simulator with its timing): the installer against
# the same job done by hand with mtd-utils, same images, same boot, every run
# from the same flash holding an older generation (made once, then laid back).
# After each install by the installer, one plain read of each new volume's
# payload. The signed image installed with the trust store in place, beside
# the same image unsigned without one. On a board holding two generations with
# manifests: vexil-slots check, a plain read of every volume it reads, and
# vexil-slots rollback. All of it in interleaved rounds; then one traced
# install per image for the system calls.
#
# Files: /bench/VexilImageInstaller, /bench/vexil-slots and /bench/peak (static),
# /bench/by-hand.sh, /bench/IMAGE.img for each image named in
# /bench/config.sh, /bench/SIGNED-signed.img and the public key that signed
# it, /bench/trusted.pub. The configuration also gives the block sizes, the
# volume sizes and ROUNDS.
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

# Two generations of SLOTS_IMAGE, both with manifests, installed by the
# installer; made once and copied like the board above.
board_with_two_generations() {
    if [ -f /tmp/slots.img ]; then
        flash_restore /tmp/slots.img || exit 1
        return
    fi
    board_with_old_generation
    for _n in 1 2; do
        /bench/VexilImageInstaller /bench/$SLOTS_IMAGE.img >/dev/null || exit 1
    done
    flash_save /tmp/slots.img || exit 1
}

slot_name() {
    case $1 in 0) echo kernel ;; 1) echo devicetree ;; 2) echo rootfs ;; 3) echo manifest ;; esac
}

# The new set is current and holds the image's payloads.
installed() { # IMAGE
    for _i in 0 1 2; do
        _id=$(ubi_vol_id "$(slot_name $_i)") || return 1
        _size=$(wc -c </tmp/$1.$_i)
        head -c $_size /dev/ubi0_$_id | cmp -s - /tmp/$1.$_i || return 1
    done
}

# Seconds and peak RSS (KiB) from wait4, by /bench/peak. A run that leaves
# IMAGE not current, or whose output lacks the line EXPECT (unless empty),
# counts as failed.
measure() { # LABEL IMAGE ROUND EXPECT COMMAND...
    _label=$1 _image=$2 _round=$3 _expect=$4
    shift 4
    /bench/peak /tmp/time.txt "$@" >/tmp/out.txt 2>&1
    _status=$?
    installed $_image || _status=99
    [ -z "$_expect" ] || grep -qF -- "$_expect" /tmp/out.txt || _status=98
    record "$_label" "$_image" "$_round" "$_status"
}
record() { # LABEL IMAGE ROUND STATUS
    read -r _elapsed _rss _ </tmp/time.txt
    echo "run $1 $2 $3 $_elapsed $_rss $4" >>$results
}

# One read of a volume's first SIZE bytes, in one dd request.
read_volume() { # LABEL IMAGE ROUND VOLUME SIZE
    _id=$(ubi_vol_id "$4") || exit 1
    /bench/peak /tmp/time.txt dd if=/dev/ubi0_$_id of=/dev/null bs=$5 count=1 2>/dev/null
    record "$1" "$2" "$3" $?
}

# One read of each new volume's payload.
read_payloads() { # IMAGE ROUND
    for _i in 0 1 2; do
        read_volume "read-$(slot_name $_i)" $1 $2 $(slot_name $_i) $(wc -c </tmp/$1.$_i)
    done
}

# What vexil-slots check reads, each volume in one dd request: both
# generations' volumes and manifests, a static volume whole, rootfs as far as
# its block goes.
read_generations() { # IMAGE ROUND
    for _suffix in "" _prev; do
        for _i in 0 1 2 3; do
            _name=$(slot_name $_i)$_suffix
            if [ $_i = 2 ]; then
                _size=$(wc -c </tmp/$1.2)
            else
                _size=$(cat /sys/class/ubi/ubi0/ubi0_$(ubi_vol_id $_name)/data_bytes) || exit 1
            fi
            read_volume "slots-read-$_name" $1 $2 $_name $_size
        done
    done
}

# As many bytes as a manifest holds, for the job by hand.
head -c $MANIFEST_BYTES /bench/small.img >/tmp/manifest
payload small 0 /tmp/old.0
payload small 1 /tmp/old.1
payload small 2 /tmp/old.2
for image in $IMAGES; do
    for i in 0 1 2; do payload $image $i /tmp/$image.$i; done
done

for round in $(seq 1 $ROUNDS); do
    for image in $IMAGES; do
        board_with_old_generation
        measure installer $image $round "" /bench/VexilImageInstaller /bench/$image.img
        read_payloads $image $round
        if [ $image = "$SIGNED" ]; then
            board_with_old_generation
            mkdir -p /etc/vexil/trusted-keys && cp /bench/trusted.pub /etc/vexil/trusted-keys/
            measure signed $image $round "" /bench/VexilImageInstaller /bench/$image-signed.img
            rm -r /etc/vexil
        fi
        board_with_old_generation
        measure by-hand $image $round "" sh /bench/by-hand.sh $image
    done
    board_with_two_generations
    measure slots-check $SLOTS_IMAGE $round "previous generation: whole" /bench/vexil-slots check
    read_generations $SLOTS_IMAGE $round
    measure slots-rollback $SLOTS_IMAGE $round "rolled back" /bench/vexil-slots rollback
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
