#!/bin/sh
# Guest side of the peer benchmark (run by tests/kernel/vmrun.py on the NAND
# simulator with its timing): the same three payloads installed by hand with
# mtd-utils (/bench/by-hand.sh), by VexilImageInstaller (unsigned, and signed
# with the trust store), by RAUC (rauc install through rauc service on a
# session bus) and by SWUpdate (streamed into the spare volumes, through
# TMPDIR into the spare volumes, and in place), ROUNDS interleaved rounds in
# one boot, every install from the same copy of its board. Each run's wall
# time, peak RSS (wait4, by /bench/peak; for RAUC also its service's and the
# bus daemon's) and exit status, and which set is current afterwards and
# whether each of its volumes holds the new or the old payload or neither.
# Then for each updater (the installer unsigned) one power cut half-way
# through the rootfs (see cut_run) and what a fresh attach finds.
#
# Files: /bench/peers/* from bench/peers/prepare.sh and config.sh (ROUNDS, the
# payload and volume sizes), /bench/peak, /bench/VexilImageInstaller,
# /bench/by-hand.sh and /bench/config.sh for it; swupdate, rauc, dbus-daemon,
# fw_printenv and fw_setenv with their libraries; loop.ko and squashfs.ko.
. /vexil/lib.sh
. /bench/peers/config.sh

P=/bench/peers
UBI=/dev/ubi0
T=/sys/kernel/debug/tracing
results=/tmp/results.txt
: >$results
export DBUS_STARTER_BUS_TYPE=session DBUS_SESSION_BUS_ADDRESS=unix:path=/tmp/dbus-session

CONTENDERS="hand ours ours-signed rauc swu-stream swu-copy swu-inplace"

# What the tools expect of a board: RAUC mounts its bundle through a loop
# device and looks its user up; SWUpdate compares /etc/hwrevision with the
# update's hardware-compatibility; both find U-Boot's environment through
# /etc/fw_env.config.
insmod /lib/modules/loop.ko && insmod /lib/modules/squashfs.ko || exit 1
mkdir -p /run /mnt /tmp/rauc
echo "root:x:0:0:root:/root:/bin/sh" >/etc/passwd
echo "root:x:0:" >/etc/group
echo "vexil-board 1.0" >/etc/hwrevision
cp $P/fw_env.config /etc/fw_env.config

# The generation the boards hold before the update, as large as the new one.
head -c $KERNEL_BYTES /dev/urandom >/tmp/old.kernel
head -c $DEVICETREE_BYTES /dev/urandom >/tmp/old.devicetree
head -c $ROOTFS_BYTES /dev/urandom >/tmp/old.rootfs
# by-hand.sh takes its payloads from /tmp/NAME.0-2 and a manifest's worth of bytes.
ln -s $P/kernel.img /tmp/peers.0
ln -s $P/devicetree.img /tmp/peers.1
ln -s $P/rootfs.squashfs /tmp/peers.2
head -c $MANIFEST_BYTES /dev/zero >/tmp/manifest

new_file() {
    case $1 in kernel) echo $P/kernel.img ;; devicetree) echo $P/devicetree.img ;;
    rootfs) echo $P/rootfs.squashfs ;; esac
}

mkvol() { # ID NAME SLOT FILE
    ubimkvol $UBI -n $1 -N $2 -s $(slot_size $3) -t $(slot_type $3) >/dev/null &&
        ubiupdatevol ${UBI}_$1 $4
}

# Two boards, each made once and laid back before every run. "single": the
# current set (volumes 0-2) alone, for the job by hand, the installer and
# SWUpdate in place. "ab": also a spare set (3-5, named _r as in SWUpdate's
# documentation, slot group B for RAUC) holding the same generation, and
# U-Boot's redundant environment (6, 7) with BOOT_ORDER "A B".
flash_reset || exit 1
mkvol 0 kernel kernel /tmp/old.kernel && mkvol 1 devicetree devicetree /tmp/old.devicetree &&
    mkvol 2 rootfs rootfs /tmp/old.rootfs && flash_save /tmp/board-single.img || exit 1
mkvol 3 kernel_r kernel /tmp/old.kernel && mkvol 4 devicetree_r devicetree /tmp/old.devicetree &&
    mkvol 5 rootfs_r rootfs /tmp/old.rootfs &&
    ubimkvol $UBI -n 6 -N env -s 126976 -t dynamic >/dev/null &&
    ubimkvol $UBI -n 7 -N env_redund -s 126976 -t dynamic >/dev/null &&
    fw_setenv -f $P/u-boot-env BOOT_A_LEFT 3 && fw_setenv BOOT_B_LEFT 3 &&
    flash_save /tmp/board-ab.img || exit 1

board_of() {
    case $1 in rauc | swu-stream | swu-copy) echo ab ;; *) echo single ;; esac
}

# RAUC's service and the session bus it answers on, each under /bench/peak for
# its peak RSS; ready once rauc status gets an answer.
rauc_start() {
    rm -f /tmp/dbus-session
    /bench/peak /tmp/dbus.txt dbus-daemon --config-file=$P/dbus-session.conf --nofork \
        --nopidfile &
    dbus_pid=$!
    _n=0
    until [ -S /tmp/dbus-session ]; do
        _n=$((_n + 1))
        [ $_n -le 100 ] || { echo "no session bus" >&2; return 1; }
        sleep 0.1
    done
    /bench/peak /tmp/service.txt rauc --conf=$P/system.conf service >/tmp/service.log 2>&1 &
    service_pid=$!
    until rauc status >/dev/null 2>&1; do
        _n=$((_n + 1))
        [ $_n -le 200 ] || { echo "rauc service did not answer" >&2; return 1; }
        sleep 0.1
    done
}
rauc_stop() {
    kill $service_pid $dbus_pid
    wait $service_pid $dbus_pid
}

# Lays back the contender's board and starts what its install needs.
# The single-set board has no environment volumes: the installer runs
# without /etc/fw_env.config, so without a trial, as the job by hand does.
prepare() { # CONTENDER
    flash_restore /tmp/board-$(board_of $1).img || exit 1
    case $1 in
    ours | ours-signed) mv /etc/fw_env.config /tmp/fw_env.config ;;
    esac
    case $1 in
    ours-signed) mkdir -p /etc/vexil/trusted-keys && cp $P/release.pub /etc/vexil/trusted-keys/ ;;
    rauc) rauc_start || exit 1 ;;
    esac
}

# The install, timed by /bench/peak into /tmp/time.txt; its output in
# /tmp/out.CONTENDER.txt.
install() { # CONTENDER
    case $1 in
    hand) /bench/peak /tmp/time.txt sh /bench/by-hand.sh peers ;;
    ours) /bench/peak /tmp/time.txt /bench/VexilImageInstaller $P/vexil.img ;;
    ours-signed) /bench/peak /tmp/time.txt /bench/VexilImageInstaller $P/vexil-signed.img ;;
    rauc) /bench/peak /tmp/time.txt rauc install $P/bundle.raucb ;;
    swu-*)
        mkdir -p /tmp/swu
        TMPDIR=/tmp/swu /bench/peak /tmp/time.txt swupdate -i $P/${1#swu-}.swu -k $P/ca.pem \
            -b "0 1"
        ;;
    esac >/tmp/out.$1.txt 2>&1
}

# Stops what prepare started; the services' peak RSS in _service_rss.
finish() { # CONTENDER
    _service_rss=""
    case $1 in
    ours | ours-signed) mv /tmp/fw_env.config /etc/fw_env.config ;;
    esac
    case $1 in
    ours-signed) rm -r /etc/vexil/trusted-keys ;;
    rauc)
        rauc_stop
        _service_rss="$(cut -d' ' -f2 /tmp/service.txt) $(cut -d' ' -f2 /tmp/dbus.txt)"
        ;;
    esac
}

# The volume ids of the current kernel, devicetree and rootfs: for RAUC the
# slot group first in BOOT_ORDER, for the others the volumes of those names.
current_ids() { # CONTENDER
    if [ $1 = rauc ]; then
        case $(fw_printenv -n BOOT_ORDER 2>/dev/null) in
        A*) echo 0 1 2 ;;
        B*) echo 3 4 5 ;;
        *) echo - - - ;;
        esac
    else
        for _slot in kernel devicetree rootfs; do
            ubi_vol_id $_slot || echo -
        done
    fi
}

# new, old or broken: what volume ID holds for SLOT. Broken: no such volume,
# its update marker or corrupted flag set, or neither payload.
holding() { # ID SLOT
    _d=/sys/class/ubi/ubi0/ubi0_$1
    if [ ! -d $_d ] || [ "$(cat $_d/upd_marker)$(cat $_d/corrupted)" != 00 ]; then
        echo broken
        return
    fi
    _new=$(new_file $2)
    _len=$(wc -c <$_new)
    if head -c $_len /dev/ubi0_$1 2>/dev/null | cmp -s - $_new; then
        echo new
    elif head -c $_len /dev/ubi0_$1 2>/dev/null | cmp -s - /tmp/old.$2; then
        echo old
    else
        echo broken
    fi
}

# "kernel,devicetree,rootfs" of the current set, each new, old or broken.
state() { # CONTENDER
    set -- $(current_ids $1)
    echo "$(holding $1 kernel),$(holding $2 devicetree),$(holding $3 rootfs)"
}

for round in $(seq 1 $ROUNDS); do
    for c in $CONTENDERS; do
        prepare $c
        install $c
        _status=$?
        finish $c
        read -r _seconds _rss _ </tmp/time.txt
        echo "run $c $round $_seconds $_rss $_status $(state $c) $_service_rss" | tee -a $results
        [ $round -gt 1 ] || emit logs/$c.txt /tmp/out.$c.txt
        if [ $c = ours ]; then
            # What the installer's check before switching reads, in one plain read.
            /bench/peak /tmp/time.txt dd if=/dev/ubi0_$(ubi_vol_id rootfs) of=/dev/null \
                bs=$ROOTFS_BYTES count=1 2>/dev/null
            _status=$?
            read -r _seconds _rss _ </tmp/time.txt
            echo "run read-rootfs $round $_seconds $_rss $_status new,new,new" | tee -a $results
        fi
    done
done

# Power cuts. UBI's emulation (lib.sh's powercut_arm, volume-header writes
# only) turns the device read-only at the Nth volume-header write after
# arming, so every later write fails as after a cut; a fresh attach then finds
# what the flash holds. N comes from a dry run of the same install from the
# same board with UBI's background thread off: a kprobe on
# ubi_io_write_vid_hdr lists every volume-header write (volume, LEB; one for
# each LEB written) in order, the rootfs target is the volume written most,
# and the cut takes the write of its middle LEB.
swap32() { echo $((($1 >> 24 & 255) | ($1 >> 8 & 65280) | ($1 << 8 & 16711680) | ($1 << 24 & 4278190080))); }
vid_trace_on() {
    echo 'p:peers/vid ubi_io_write_vid_hdr vol=+8(+0($arg3)):x32 lnum=+12(+0($arg3)):x32' \
        >$T/kprobe_events && echo >$T/trace && echo 1 >$T/events/peers/vid/enable
}
# "N VOLUME LEB WRITES": N arms the cut at the middle LEB of the volume
# written most, which took WRITES header writes.
cut_point() {
    sed -n 's/.* vol=\(0x[0-9a-f]*\) lnum=\(0x[0-9a-f]*\).*/\1 \2/p' $T/trace |
        while read -r _v _l; do echo "$(swap32 $_v) $(swap32 $_l)"; done >/tmp/vid.txt
    awk '{ n[$1]++; vol[NR] = $1; leb[NR] = $2 }
        END {
            for (v in n) if (n[v] > most) { most = n[v]; target = v }
            for (i = 1; i <= NR; i++)
                if (vol[i] == target && leb[i] == int(most / 2)) { print i - 1, target, leb[i], most; exit }
        }' /tmp/vid.txt
}
# The most SWUpdate holds in its TMPDIR, KiB, into /tmp/swu.peak; every 0.2 s
# while /tmp/sampling exists.
tmp_sample() {
    _peak=0
    while [ -e /tmp/sampling ]; do
        _kib=$(du -sk /tmp/swu | cut -f1)
        [ $_kib -le $_peak ] || _peak=$_kib
        sleep 0.2
    done
    echo $_peak >/tmp/swu.peak
}
cut_run() { # CONTENDER
    prepare $1
    echo 1 >$VEXIL_DBG/tst_disable_bgt
    vid_trace_on || exit 1
    case $1 in
    swu-*)
        : >/tmp/sampling
        tmp_sample &
        ;;
    esac
    install $1
    echo 0 >$T/events/peers/vid/enable
    if [ -e /tmp/sampling ]; then
        rm /tmp/sampling
        wait
        echo "tmp $1 $(cat /tmp/swu.peak)" | tee -a $results
    fi
    finish $1
    _point=$(cut_point)
    if [ -z "$_point" ]; then
        echo "cut $1 - - none - -" | tee -a $results
        return
    fi
    set -- $1 $_point
    prepare $1
    dmesg -c >/dev/null
    powercut_arm $2 $2 2
    install $1
    _status=$?
    _where=$(powercut_where)
    powercut_disarm
    finish $1
    ubi_reattach
    echo "cut $1 $2 $_status ${_where:-none} $(state $1) $3:$4/$5" | tee -a $results
    emit logs/cut-$1.txt /tmp/out.$1.txt
}
for c in ours rauc swu-stream swu-copy swu-inplace; do
    cut_run $c
done
echo -n >$T/kprobe_events

emit results.txt $results
