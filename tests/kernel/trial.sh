#!/bin/sh
# Trial boots from the running system's side on the real kernel: A ("new")
# installed without a trial, then B ("next") installed on trial through a boot
# environment that libubootenv reads from a file; confirming booted as trial,
# the fallback made permanent booted as fallback, and the installs refused.
# Then a power cut at each UBI header write of the armed install, of the
# confirm and of the fallback made permanent; after each cut, and after the
# run no cut reached, the board's state goes to the host (states/, blobs/),
# where real U-Boot boots it (trial_host.sh). Each boot's command line is
# acted out by a file bound over /proc/cmdline.
. /vexil/lib.sh

ENV=/tmp/env.bin
mkdir -p /var/lock /tmp/blobs
echo "$ENV 0x0 0x2000" >/tmp/fw_env.config
echo "console=ttyS0" >/tmp/cmdline
mount -o bind /tmp/cmdline /proc/cmdline
booted() { echo "console=ttyS0 root=ubi0:$2 vexil.boot=$1" >/tmp/cmdline; } # MODE ROOT

# A, installed by the installer where no environment is configured: it has
# its manifest and no trial. The spare volume's truncation gives each sweep
# header writes to cut ahead of its step: the first one after arming cannot be.
flash_reset
$VEXIL_INSTALLER /vexil/img/new.img >/tmp/a.out 2>&1 &&
    ubimkvol /dev/ubi0 -N spare -s 1 -t dynamic >/dev/null || { echo "cannot make the board"; exit 1; }
spare=/dev/ubi0_$(ubi_vol_id spare)
check "A: current, with its manifest, no trial" eval 'holds new && vol_dir manifest && ! vol_dir manifest_trial'
flash_save /tmp/board-a.img

# From here on the board is set up for trials: an environment in U-Boot's
# format, written once by fw_setenv from the rig's built-in environment (a
# blank area does not read), which U-Boot reads on the host as it is.
head -c 8192 /dev/zero | tr '\0' '\377' >$ENV
cp /tmp/fw_env.config /etc/fw_env.config
check "env: written by fw_setenv -f" eval 'fw_setenv -f /vexil/default-env.txt 2>/dev/null'
cp $ENV /tmp/env-a.bin

# "A" or "B" where that generation's set is whole (SUFFIX: "" current, _prev),
# else "none" without a kernel volume, else "broken".
set_is() { # SUFFIX
    if holds new "$1" >/dev/null; then echo A
    elif holds next "$1" >/dev/null; then echo B
    elif vol_dir "kernel$1"; then echo broken
    else echo none; fi
}
marker() {
    if vol_dir manifest_trial; then echo trial
    elif vol_dir manifest; then echo manifest
    else echo none; fi
}
tries() { fw_printenv -n vexil_tries 2>/dev/null; }
# Current and previous generation, the marker and the count.
board_is() { echo "current=$(set_is "") prev=$(set_is _prev) marker=$(marker) tries=$(tries)"; }

booted good rootfs
install_run armed /vexil/img/next.img
check "armed: exit status 0" [ "$rc" = 0 ]
check "armed: B on trial, A previous, 3 tries" [ "$(board_is)" = "current=B prev=A marker=trial tries=3" ]
check "armed: no manifest beside manifest_trial" eval '! vol_dir manifest && vol_dir manifest_prev'
flash_save /tmp/board-b.img
cp $ENV /tmp/env-b.bin

booted trial rootfs
slots_run status-trial status
check "status: the boot line" [ "$(tail -n 1 /tmp/status-trial.out)" = "boot: on trial, 3 tries left; booted as trial" ]
slots_run confirm confirm
check "confirm: B confirmed, A previous" [ "$(board_is)" = "current=B prev=A marker=manifest tries=3" ]
slots_run confirm-again confirm
slots_run confirm-check check

# Booted as the fallback: either command makes it permanent.
for cmd in confirm rollback; do
    flash_restore /tmp/board-b.img
    cp /tmp/env-b.bin $ENV
    booted fallback rootfs_prev
    slots_run fallback-$cmd $cmd
    check "fallback-$cmd: A current, B previous, no trial" \
        [ "$(board_is)" = "current=A prev=B marker=manifest tries=3" ]
    slots_run fallback-$cmd-check check
done
slots_run fallback-status status

# Refused before anything is written: the volume table as it was, also on a
# fresh attach, and the environment too.
refused() { # NAME BOARD ENV IMAGE [OFFSET]: a byte of the environment made "U"
    flash_restore "$2"
    cp "$3" $ENV
    [ -z "${5:-}" ] || printf '\125' | dd of=$ENV bs=1 seek="$5" conv=notrunc 2>/dev/null
    cp $ENV /tmp/env-before.bin
    _vols=$(ubi_vols)
    install_run "$1" "$4"
    check "$1: volumes and environment unchanged" eval \
        '[ "$(ubi_vols)" = "$_vols" ] && ubi_reattach && [ "$(ubi_vols)" = "$_vols" ] && cmp -s $ENV /tmp/env-before.bin'
}
booted good rootfs
refused refused-crc /tmp/board-a.img /tmp/env-a.bin /vexil/img/next.img 4
booted trial rootfs
refused refused-on-trial /tmp/board-b.img /tmp/env-b.bin /vexil/img/next.img

# The board as the host lays it out for U-Boot, to states/NAME.txt: a line a
# volume, "vol ID NAME TYPE DATA_BYTES RESERVED_EBS CORRUPTED UPD_MARKER
# CONTENT", then "env MD5". CONTENT is the MD5 of a readable set or manifest
# volume, whose bytes go to blobs/MD5 once; for rootfs and rootfs_prev the
# generation they hold (A, B or other); "-" for the rest. Builtins where it
# can: it runs after every cut.
blob() { # FILE
    s_m=$(md5sum "$1")
    s_m=${s_m%% *}
    [ -e /tmp/blobs/$s_m ] || { : >/tmp/blobs/$s_m && emit blobs/$s_m "$1"; }
}
len_a=$(wc -c </vexil/gen/new/rootfs.bin)
len_b=$(wc -c </vexil/gen/next/rootfs.bin)
state() { # NAME
    for s_v in /sys/class/ubi/ubi0/ubi0_*; do
        [ -d "$s_v" ] || continue
        s_id=${s_v##*_}
        for s_a in name type data_bytes reserved_ebs corrupted upd_marker; do
            read -r "s_$s_a" <"$s_v/$s_a"
        done
        s_m=-
        case $s_name:$s_corrupted$s_upd_marker in
        kernel:00 | kernel_prev:00 | devicetree:00 | devicetree_prev:00 | manifest:00 | \
            manifest_prev:00 | manifest_trial:00)
            blob /dev/ubi0_$s_id ;;
        rootfs:* | rootfs_prev:*)
            if cmp -s -n $len_a /dev/ubi0_$s_id /vexil/gen/new/rootfs.bin; then s_m=A
            elif cmp -s -n $len_b /dev/ubi0_$s_id /vexil/gen/next/rootfs.bin; then s_m=B
            else s_m=other; fi ;;
        esac
        echo "vol $s_id $s_name $s_type $s_data_bytes $s_reserved_ebs $s_corrupted $s_upd_marker $s_m"
    done >/tmp/state.txt
    blob $ENV
    echo "env $s_m" >>/tmp/state.txt
    emit "states/$1.txt" /tmp/state.txt
}

# One sweep: STEP under a cut at each header write, from BOARD and ENVIRONMENT,
# booted as MODE; a line a cut in sweep-STEP.txt.
sweep() { # STEP BOARD ENVIRONMENT MODE ROOT
    step=$1
    cp "$2" /tmp/board.img
    cp "$3" /tmp/env-step.bin
    booted "$4" "$5"
    powercut_sweep 300
    emit "sweep-$step.txt" /tmp/sweep.txt
}
cut_step() {
    cp /tmp/env-step.bin $ENV
    ubiupdatevol -t $spare 2>/dev/null
    case $step in
    install) $VEXIL_INSTALLER /vexil/img/next.img >/tmp/out.txt 2>&1 ;;
    *) $VEXIL_SLOTS_TOOL confirm >/tmp/out.txt 2>&1 ;;
    esac
}
cut_judge() {
    $VEXIL_SLOTS_TOOL check >/tmp/check.txt 2>&1
    _checked=$?
    state "$step-$n"
    echo "check=$_checked whole=$(grep -c '^[a-z]* generation: whole, ' /tmp/check.txt) state=$step-$n"
}
sweep install /tmp/board-a.img /tmp/env-a.bin good rootfs
sweep confirm /tmp/board-b.img /tmp/env-b.bin trial rootfs
sweep fallback /tmp/board-b.img /tmp/env-b.bin fallback rootfs_prev

echo "trial: $fails failure(s)"
[ "$fails" = 0 ]
