#!/bin/sh
# The installer on the NAND simulator with faults, a fresh chip for each case:
# bad blocks in the UBI partition; bit flips on read, corrected by the default
# ECC (Hamming, one bit in 256 bytes: UBI scrubs what it sees flipped) and by
# BCH (four bits in 512 bytes); a page that fails to program (UBI writes the
# eraseblock elsewhere and retires it); a page that fails every read, inside
# rootfs_new (the installer's read-back finds it) and inside kernel_new (a
# static volume: the kernel's own check at the end of the update finds it and
# marks the volume corrupted while the write still succeeds). Every run's
# stdout, stderr and exit status go to the host (runs/NAME.*). After each
# install a fresh attach must find one whole generation current and no volume
# marked corrupted or half updated.
. /vexil/lib.sh

IMG=/vexil/img
MTD=/sys/class/mtd/mtd$VEXIL_MTD
UBI=/sys/class/ubi/ubi0

attr() { read -r _a <"$1" && echo "$_a"; }

# Chip eraseblock of the UBI partition's eraseblock N.
chip_eb() { echo $(($(attr $MTD/offset) / $(attr $MTD/erasesize) + $1)); }

# Chip page of data page PAGE of the eraseblock that holds VOLUME's LEB.
chip_page() { # VOLUME LEB PAGE
    vol_dir "$1" || return 1
    _at=$(/vexil/mtd_image find /dev/mtd$VEXIL_MTD "${_vd##*_}" "$2") || return 1
    set -- "$3" $_at
    _page=$(attr $MTD/writesize)
    echo $(( ($(chip_eb "$2") * $(attr $MTD/erasesize) + $3) / _page + $1 ))
}

# The fault cases that aim at a page need the same requests to reach the same
# eraseblocks as in the run that found it: the board laid from one copy, and
# UBI's background work (erasing, wear-levelling) done only when UBI waits
# for it, never as the scheduler has it.
bgt_off() { echo 1 >$VEXIL_DBG/tst_disable_bgt; }
board_fresh() { # NANDSIM_PARAMETER...
    nand_load "$@" && board_make cur old
}
board_copy() { # NANDSIM_PARAMETER...
    nand_load "$@" && flash_restore /tmp/board.img && bgt_off
}

# Fresh attach; then GEN current and whole, and nothing anywhere corrupted or
# half updated.
whole() { # GEN
    ubi_reattach || return 1
    holds "$1" || return 1
    for _v in $UBI/ubi0_*; do
        [ "$(attr $_v/corrupted)$(attr $_v/upd_marker)" = 00 ] ||
            { echo "  $(attr $_v/name): corrupted/upd_marker $(attr $_v/corrupted)/$(attr $_v/upd_marker)"; return 1; }
    done
}

# Each case reads only its own kernel messages; a case with a failed check
# leaves them to the host (dmesg-NAME.txt). A page that fails to program
# makes UBI dump the eraseblock there: the ring buffer is large (vmrun.py).
case_name="" case_fails=0
case_begin() { # NAME
    [ "$case_fails" = "$fails" ] || dmesg | emit "dmesg-$case_name.txt" -
    case_name=$1 case_fails=$fails
    dmesg -c >/dev/null
}
logged() { dmesg | grep -q -- "$1"; }
more_than() { [ "$(attr "$1")" -gt "$2" ]; }

# UBI scrubs in the background; give it a moment.
scrubbed() {
    for _i in 1 2 3 4 5 6 7 8 9 10; do
        logged "scrubbed PEB" && return 0
        sleep 0.5
    done
    return 1
}

# --- the board, and where its next install goes ----------------------------
board_make cur old && flash_save /tmp/board.img || { echo "FAIL - cannot make the board"; exit 1; }
flash_restore /tmp/board.img && bgt_off
$VEXIL_INSTALLER $IMG/new.img >/tmp/dry.txt 2>&1 || { echo "FAIL - dry run"; cat /tmp/dry.txt; exit 1; }
# Fourth data page of rootfs_new's second LEB and of kernel_new's first.
rootfs_page=$(chip_page rootfs 1 3) && kernel_page=$(chip_page kernel 0 3) ||
    { echo "FAIL - cannot find the pages"; exit 1; }
echo "pages: rootfs_new LEB 1 -> $rootfs_page, kernel_new LEB 0 -> $kernel_page"

# --- bad blocks --------------------------------------------------------------
case_begin badblocks
# The first and last PEBs, and two where the board's volumes would go.
bad="$(chip_eb 0),$(chip_eb 563),$(chip_eb 583),$(chip_eb 2031)"
check "badblocks: the board on the chip" board_fresh "badblocks=$bad"
check "badblocks: UBI finds the 4 bad eraseblocks" [ "$(attr $UBI/bad_peb_count)" = 4 ]
install_run badblocks $IMG/new.img
check "badblocks: new set whole after a fresh attach" whole new
check "badblocks: previous set is _prev" holds cur _prev

# --- bit flips, default ECC and BCH -----------------------------------------
# Each page read flips bits one time in 1024. The large image and a few reads
# of it make flips all but certain: about 2000 pages a read.
for ecc in hamming bch; do
    case $ecc in
    hamming) params="bitflips=1" ;;
    bch) params="bch=4 bitflips=4" ;;
    esac
    case_begin bitflips-$ecc
    check "bitflips-$ecc: the board on the chip" board_fresh $params
    install_run bitflips-$ecc $IMG/big.img
    for i in 1 2 3 4 5 6; do holds big >/dev/null; done
    check "bitflips-$ecc: new set whole after a fresh attach" whole big
    check "bitflips-$ecc: previous set is _prev" holds cur _prev
    check "bitflips-$ecc: bits were flipped and corrected" more_than $MTD/corrected_bits 0
    check "bitflips-$ecc: no read failed" [ "$(attr $MTD/ecc_failures)" = 0 ]
    [ $ecc = bch ] || check "bitflips-$ecc: UBI scrubbed flipped eraseblocks" scrubbed
done

# --- a page that fails to program -------------------------------------------
case_begin program-fails
check "program-fails: the board on the chip" board_copy "weakpages=$rootfs_page:0"
install_run program-fails $IMG/new.img
check "program-fails: the page failed" logged "simulating write failure in page $rootfs_page"
check "program-fails: UBI retired one eraseblock" [ "$(attr $UBI/bad_peb_count)" = 1 ]
check "program-fails: new set whole after a fresh attach" whole new
check "program-fails: still one bad eraseblock" [ "$(attr $UBI/bad_peb_count)" = 1 ]

# --- a page that fails every read, in a dynamic and in a static _new volume --
for vol in rootfs kernel; do
    eval "page=\$${vol}_page"
    case_begin read-fails-$vol
    check "read-fails-$vol: the board on the chip" board_copy "gravepages=$page:0"
    install_run read-fails-$vol $IMG/new.img
    check "read-fails-$vol: the page failed" logged "simulating read error in page $page"
    check "read-fails-$vol: the current set stays, whole after a fresh attach" whole cur
    bgt_off
    install_run read-fails-$vol-rerun $IMG/new.img
    check "read-fails-$vol: the rerun's new set whole after a fresh attach" whole new
done

case_begin end
echo "nand-faults: $fails failure(s)"
[ "$fails" = 0 ]
