#!/bin/sh
# One boot of a board that Debian's Mender client updates in standalone mode
# through the module vexil (tests/mender/kernel.sh runs the boots in turn and
# lets real U-Boot decide between them). /vexil/step names the boot; each
# boot but the first lays back the flash, the U-Boot environment and Mender's
# datastore the one before it left, and each ends by sending them, and the
# volumes U-Boot reads, to the host.
#   install   the factory installs A; mender install B (on trial)
#   commit    booted as B's trial: mender commit; an unsigned image refused;
#             an artifact whose file is not the one its manifest names; one
#             with two files; C committed before a reboot; C
#   rollback  booted as C's trial: mender rollback; D
#   fallback  booted as the fallback from D: mender commit, and on the same
#             flash mender rollback; the installer killed while E downloads; E again
# After each: the current and the previous set volume for volume, the volume
# names, what vexil-slots says and what Mender names as installed.
. /vexil/lib.sh

step=$(cat /vexil/step)
board=/vexil/board
mkdir -p /var/lock /var/lib/mender
# Trial boots, but for the factory's first install.
[ "$step" = install ] || cp /vexil/fw_env.config /etc/fw_env.config

# The generations: A to E are releases 1 to 5; X is another build of release 3.
number() { case $1 in A) echo 1 ;; B) echo 2 ;; C | X) echo 3 ;; D) echo 4 ;; E) echo 5 ;; esac; }
version() { echo "0x2026000$(number "$1")"; }
descr() { if [ "$1" = X ]; then echo "release 3 rebuilt"; else echo "release $(number "$1")"; fi; }
artifact() { echo "$(descr "$1") $(version "$1")"; }

mender_run() { run_as "$@"; } # NAME mender ARGS...
said() { grep -qF -- "$2" "/tmp/$1.err"; } # NAME TEXT: in Mender's log

# After NAME: CUR is the current set and PREV the previous one, volume for
# volume and as vexil-slots tells them; the volumes are NAMES; vexil-slots
# says "boot: BOOT"; Mender names GEN as installed (the last one committed).
# PREV and NAMES "-": not looked at.
# `mender install` of SET's artifact puts it on trial over PREV; the last
# committed artifact stays GEN.
install_trial() { # SET PREV BOOT GEN
    mender_run install-$1 mender install /vexil/art/$1.mender
    check "install $1: status 0" [ "$rc" = 0 ]
    check "install $1: Mender asks for a reboot" grep -q "requested a reboot" /tmp/install-$1.out
    board_is install-$1 $1 $2 "$trial_set" "on trial, 3 tries left; booted as $3" $4
}
board_is() { # NAME CUR PREV NAMES BOOT GEN
    check "$1: the current set holds $2" holds "$2"
    [ "$3" = - ] || check "$1: the previous set holds $3" holds "$3" _prev
    [ "$4" = - ] || check "$1: volumes $4 (got $(ubi_names))" [ "$(ubi_names)" = "$4 " ]
    vexil-slots status >/tmp/status.txt 2>&1
    emit "status/$1.txt" /tmp/status.txt
    check "$1: vexil-slots: $2 current" \
        grep -q "^current generation: version $(version "$2") \"$(descr "$2")\", signed by key [0-9a-f]* (verified by a trusted key)\$" /tmp/status.txt
    [ "$3" = - ] || check "$1: vexil-slots: $3 previous" \
        grep -q "^previous generation: version $(version "$3") \"$(descr "$3")\", signed" /tmp/status.txt
    check "$1: vexil-slots: boot: $5" grep -qxF "boot: $5" /tmp/status.txt
    check "$1: mender show-artifact: $(artifact "$6")" \
        [ "$(mender show-artifact 2>/dev/null)" = "$(artifact "$6")" ]
}
trial_set="devicetree devicetree_prev kernel kernel_prev manifest_prev manifest_trial rootfs rootfs_prev"
plain_set="devicetree devicetree_prev kernel kernel_prev manifest manifest_prev rootfs rootfs_prev"

# What the next boot needs: the whole flash and Mender's datastore, and what
# U-Boot reads, the volumes and the environment, for the rig (uboot_view).
save_board() {
    flash_save /tmp/flash.img && gzip -1 /tmp/flash.img && emit board/flash.img.gz /tmp/flash.img.gz
    tar -C /var/lib/mender -cf /tmp/mender.tar . && emit board/mender.tar /tmp/mender.tar
    uboot_view uboot
}
restore_board() {
    gunzip -c $board/flash.img.gz >/tmp/restore.img && flash_restore /tmp/restore.img &&
        rm -rf /var/lib/mender && mkdir /var/lib/mender && tar -C /var/lib/mender -xf $board/mender.tar
}
# The volumes as a ubinize configuration, for scripts/uboot-rehearse.sh: the
# data of each volume U-Boot may load (rootfs ones it never reads; a _new one
# is not a set), and the environment.
uboot_view() { # NAME
    mkdir -p "/tmp/$1"
    ubi_vols | while read -r vid vname vtype rest; do
        case $vname in *_new) continue ;; esac
        printf '[%s]\nmode=ubi\nvol_id=%s\nvol_type=%s\nvol_name=%s\n' "$vname" "$vid" "$vtype" "$vname"
        case $vname in
        rootfs*) echo vol_size=1 ;;
        *)
            cat "/dev/ubi0_$vid" >"/tmp/$1/$vname.bin"
            emit "$1/$vname.bin" "/tmp/$1/$vname.bin"
            echo "image=$vname.bin" ;;
        esac
    done >"/tmp/$1/volumes.ini"
    emit "$1/volumes.ini" "/tmp/$1/volumes.ini"
    emit "$1/env.bin" $board/env.bin
}

case $step in
install)
    # The factory: A installed as the board's first set, no trials yet.
    cp /vexil/mender/device_type /var/lib/mender/device_type
    run_as factory VexilImageInstaller /vexil/img/A.img
    check "factory: A installed" [ "$rc" = 0 ]
    cp /vexil/fw_env.config /etc/fw_env.config
    install_trial B A unknown A
    save_board
    ;;
commit)
    restore_board
    mender_run commit-B mender commit
    check "commit B: status 0" [ "$rc" = 0 ]
    board_is commit-B B A "$plain_set" "not on trial; booted as trial" B

    vol_table >/tmp/before.txt
    mender_run refused mender install /vexil/art/unsigned.mender
    check "refused: status 1" [ "$rc" = 1 ]
    check "refused: says why" said refused \
        "vexil: VexilImageInstaller refused the image: the image is not signed (nothing was switched in)"
    check "refused: every volume as it was" eval '[ "$(vol_table)" = "$(cat /tmp/before.txt)" ]'
    board_is refused B A "$plain_set" "not on trial; booted as trial" B

    # X is a signed release, but not the file this artifact's manifest names:
    # Mender finds that once the stream has gone through.
    mender_run swapped mender install /vexil/art/swapped.mender
    check "swapped: status 1" [ "$rc" = 1 ]
    check "swapped: Mender found the checksum wrong" said swapped "invalid checksum"
    board_is swapped B - - "not on trial; booted as trial" B

    # X, then a second file: the module refuses the artifact when the
    # installer has switched X in already, and Cleanup, the one state Mender
    # runs after a failed download, puts B back.
    mender_run two-files mender install /vexil/art/two-files.mender
    check "two files: status 1" [ "$rc" = 1 ]
    check "two files: refused" said two-files "vexil: the artifact holds more than one file"
    check "two files: B put back" said two-files "rolled back: the previous generation"
    board_is two-files B X "$plain_set" "not on trial; booted as trial" B

    # A commit before the reboot: C has not run, so Mender rolls it back.
    mender_run early-C mender install /vexil/art/C.mender
    check "early C: installed" [ "$rc" = 0 ]
    mender_run early-commit mender commit
    check "early commit: status 1" [ "$rc" = 1 ]
    check "early commit: says why" said early-commit "vexil: the board has not rebooted since the install"
    board_is early-commit B C "$plain_set" "not on trial; booted as trial" B

    install_trial C B trial B
    save_board
    ;;
rollback)
    restore_board
    board_is booted C B "$trial_set" "on trial, 2 tries left; booted as trial" B
    mender_run rollback-C mender rollback
    check "rollback C: status 0" [ "$rc" = 0 ]
    board_is rollback-C B C "$plain_set" "not on trial; booted as trial" B
    uboot_view after-rollback

    install_trial D B trial B
    save_board
    ;;
fallback)
    restore_board
    fell_back="on trial, 0 tries left; booted as fallback: the boot loader fell back to the previous generation (vexil-slots confirm makes it permanent)"
    board_is fell-back D B "$trial_set" "$fell_back" B
    cp $board/env.bin /tmp/env.start
    # Mender commits as after any reboot: the module finds the fallback, and
    # makes it permanent.
    mender_run commit-D mender commit
    check "commit D: status 1" [ "$rc" = 1 ]
    check "commit D: says why" said commit-D \
        "vexil: the boot loader fell back to the previous set, and that is now permanent: the update failed"
    board_is commit-D B D "$plain_set" "not on trial; booted as fallback" B

    # The same boot once more, and mender rollback instead.
    restore_board && cp /tmp/env.start $board/env.bin
    board_is again D B "$trial_set" "$fell_back" B
    mender_run rollback-D mender rollback
    check "rollback D: status 0" [ "$rc" = 0 ]
    board_is rollback-D B D "$plain_set" "not on trial; booted as fallback" B

    # The installer is killed while E downloads: Mender has all of the artifact but its
    # last 100 KiB, and the installer is writing rootfs_new.
    mkfifo /tmp/E.fifo
    mender install /tmp/E.fifo >/tmp/cut.out 2>/tmp/cut.err &
    (head -c $(($(wc -c </vexil/art/E.mender) - 102400)) /vexil/art/E.mender && exec sleep 600) >/tmp/E.fifo &
    writer=$!
    n=0
    until ubi_vol_id rootfs_new >/dev/null || [ $n = 300 ]; do
        sleep 0.2
        n=$((n + 1))
    done
    check "cut: the installer writes rootfs_new" eval 'ubi_vol_id rootfs_new >/dev/null'
    # The installer first: with Mender gone first it would see the stream end
    # and stop by itself.
    check "cut: the installer killed mid-stream" kill -9 "$(pidof VexilImageInstaller)"
    # The module may have ended by itself once the installer was gone.
    kill -9 $(pidof mender vexil) 2>/dev/null || true
    kill $writer
    emit runs/cut.err /tmp/cut.err
    # A fresh attach: what the flash holds after the cut.
    ubi_reattach
    board_is cut B - \
        "devicetree devicetree_new kernel kernel_new manifest manifest_prev rootfs rootfs_new" \
        "not on trial; booted as fallback" B
    run_as cut-check vexil-slots check
    check "cut: vexil-slots check: B whole" [ "$rc" = 0 ]
    uboot_view after-cut

    # This boot's command line still says fallback, but E's tries are
    # untouched: vexil-slots does not take E for the set U-Boot left, and
    # the next boot is E's trial.
    install_trial E B fallback B
    uboot_view end
    ;;
esac
exit $fails
