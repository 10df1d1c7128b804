#!/bin/sh
# The production installer on real UBI: the conformance cases first, then
# good installs, rejected images and flash failures. Each run's stdout, stderr
# and exit status go to the host (runs/NAME.*), which compares them byte for
# byte; the board each run leaves is checked here, through mtd-utils and by
# reading the volumes back.
. /vexil/lib.sh

I=$VEXIL_INSTALLER
IMG=/vexil/img

# The host holds the report against the simulator's, check for check: a
# kernel may differ from the cases in a way that host knows.
/vexil/ubi-conformance 0 >/tmp/conformance.txt 2>&1
emit conformance.txt /tmp/conformance.txt

board_make cur old || { echo "FAIL - cannot make the board"; exit 1; }
flash_save /tmp/board.img
vols=$(current_vols)

# --- a good install: transcript, rotated names, contents --------------------
install_run good $IMG/new.img
check "good: new set current" holds new
check "good: previous current set is _prev" holds cur _prev
check "good: the six volumes and the manifest" \
    [ "$(ubi_names)" = "devicetree devicetree_prev kernel kernel_prev manifest rootfs rootfs_prev " ]
ubi_reattach
check "good: the same after a fresh attach" holds new
check "good: _prev the same after a fresh attach" holds cur _prev
ubinfo -a >/tmp/ubinfo-good.txt
emit ubinfo-good.txt /tmp/ubinfo-good.txt

# --- generations rotate over a second install -------------------------------
install_run rotate $IMG/next.img
check "rotate: next set current" holds next
check "rotate: new set is _prev" holds new _prev
check "rotate: old _prev gone, no _new left" \
    [ "$(ubi_names)" = "devicetree devicetree_prev kernel kernel_prev manifest manifest_prev rootfs rootfs_prev " ]

# --- first install on an empty device ---------------------------------------
flash_reset
install_run first $IMG/new.img
check "first: new set current" holds new
check "first: only the three volumes and the manifest" [ "$(ubi_names)" = "devicetree kernel manifest rootfs " ]

# --- rejected images leave the current set untouched ------------------------
for bad in missing crc short product; do
    flash_restore /tmp/board.img
    install_run $bad $IMG/$bad.img
    check "$bad: current set untouched and readable" current_untouched cur "$vols"
done

# No room for a "_new" volume: no _prev to delete and the rest taken.
flash_restore /tmp/board.img
for v in kernel_prev devicetree_prev rootfs_prev; do ubirmvol /dev/ubi0 -N $v; done
ubimkvol /dev/ubi0 -N filler -m >/dev/null
check "noroom: device full" [ "$(cat /sys/class/ubi/ubi0/avail_eraseblocks)" = 0 ]
install_run noroom $IMG/new.img
check "noroom: current set untouched and readable" current_untouched cur "$vols"
check "noroom: no _new made" [ "$(ubi_names)" = "devicetree filler kernel rootfs " ]

# A complete rootfs_new left by an earlier run is never switched in by itself.
flash_restore /tmp/board.img
install_run leftover-early $IMG/leftover.img
check "leftover: the earlier run left a complete rootfs_new" \
    [ "$(vol_state rootfs_new 270000)" = "$(vol_expected rootfs_new rootfs /vexil/gen/new/rootfs.bin)" ]
install_run leftover $IMG/missing.img
check "leftover: current set untouched and readable" current_untouched cur "$vols"

# --- an empty devicetree block ----------------------------------------------
flash_restore /tmp/board.img
install_run empty $IMG/empty.img
check "empty: set with the empty devicetree current" holds empty
check "empty: devicetree holds 0 bytes" [ "$(vol_state devicetree 0 | cut -d' ' -f3)" = 0 ]

# --- from a pipe ------------------------------------------------------------
flash_restore /tmp/board.img
cat $IMG/new.img | $I /dev/stdin >/tmp/pipe.out 2>/tmp/pipe.err
echo $? >/tmp/pipe.rc
for x in out err rc; do emit runs/pipe.$x /tmp/pipe.$x; done
check "pipe: new set current" holds new
check "pipe: previous current set is _prev" holds cur _prev
vols=$(current_vols)

# --- exit statuses without an install ---------------------------------------
install_run noargs
install_run noimage $IMG/absent.img
check "noimage: current set untouched" current_untouched new "$vols"
ubi_detach
install_run nodevice $IMG/new.img
ubi_attach

echo "installer: $fails failure(s)"
[ "$fails" = 0 ]
