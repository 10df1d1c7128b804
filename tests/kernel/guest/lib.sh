# Guest-side helpers, sourced by /init and by test scripts (. /vexil/lib.sh).
# Busybox ash; no bash-isms.
. /vexil/config.sh                            # VEXIL_FLASH and the flash's settings

VEXIL_MTD=2                                   # NAND.ubi is the third MTD device
VEXIL_DBG=/sys/kernel/debug/ubi/ubi0
VEXIL_MARK=@@VEXIL

# Send a file (or stdin with "-") to the host as base64 between markers.
# The host checks size and md5, so a garbled serial line fails loudly.
emit() {
    _name=$1 _f=${2:--}
    if [ "$_f" = - ]; then _f=/tmp/.emit.$$; cat >"$_f"; fi
    _size=$(wc -c <"$_f")
    _sum=$(md5sum <"$_f")
    {
        printf '%s-BEGIN %s %s %s@@\n' "$VEXIL_MARK" "$_name" $_size "${_sum%% *}"
        base64 <"$_f"
        printf '%s-END %s@@\n' "$VEXIL_MARK" "$_name"
    } >/dev/console
    [ "$_f" != /tmp/.emit.$$ ] || rm -f "$_f"
}

# One check line per case; the count of failed ones in $fails.
fails=0
check() { # DESCRIPTION COMMAND...
    _d=$1; shift
    if "$@"; then echo "ok   - $_d"; else echo "FAIL - $_d"; fails=$((fails + 1)); fi
}

# Runs PROGRAM as NAME and sends its stdout, stderr and exit status to the
# host (runs/NAME.out, .err, .rc), which compares them; the status also in $rc.
run_as() { # NAME PROGRAM ARGS...
    _n=$1; shift
    "$@" >/tmp/$_n.out 2>/tmp/$_n.err
    rc=$?
    echo $rc >/tmp/$_n.rc
    for _x in out err rc; do emit "runs/$_n.$_x" /tmp/$_n.$_x; done
}
VEXIL_INSTALLER=/vexil/VexilImageInstaller
VEXIL_SLOTS_TOOL=/vexil/vexil-slots
install_run() { _n=$1; shift; run_as "$_n" $VEXIL_INSTALLER "$@"; } # NAME [IMAGE]
slots_run() { _n=$1; shift; run_as "$_n" $VEXIL_SLOTS_TOOL "$@"; } # NAME ARGS...

ubi_attach() { ubiattach -m "$VEXIL_MTD" -d 0 >/dev/null; }
ubi_detach() { ubidetach -m "$VEXIL_MTD" >/dev/null; }

# What the flash really holds: a fresh attach rescans every PEB.
ubi_reattach() { ubi_detach; ubi_attach; }

# The NAND simulator: a 256 MiB SLC chip, 2 KiB pages, 128 KiB eraseblocks,
# with the boards' partitions NAND.SPL, NAND.u-boot and NAND.ubi (mtd0-2).
VEXIL_CHIP="id_bytes=0x20,0xda,0x00,0x15"

# A fresh, empty chip with these nandsim parameters (faults, delays): the
# parameters only count when the module loads.
nand_load() { # [NANDSIM_PARAMETER]...
    [ ! -e /sys/class/ubi/ubi0 ] || ubi_detach || return 1
    [ ! -d /sys/module/nandsim ] || rmmod nandsim || return 1
    insmod /lib/modules/nandsim.ko $VEXIL_CHIP "$@" &&
        insmod /lib/modules/nand_parts.ko && rmmod nand_parts
}

# Fixed erase counters and image sequence number: every case starts from the
# same flash. Cheap once the PEBs are erased (block2mtd skips 0xFF pages,
# nandsim frees them).
flash_format() {
    ubiformat -y -q -e 0 -Q 1 /dev/mtd$VEXIL_MTD >/dev/null
}

# Back to an empty, freshly formatted and attached UBI device.
flash_reset() {
    [ ! -e /sys/class/ubi/ubi0 ] || ubi_detach
    flash_format && ubi_attach
}

# Cut power at the Nth UBI header write from now (N in [MIN, MAX]).
# MASK: 1 = EC header writes, 2 = VID header writes, 3 = both.
# Background thread off so the count does not depend on scheduling.
powercut_arm() {
    echo 1 >$VEXIL_DBG/tst_disable_bgt
    echo "$1" >$VEXIL_DBG/tst_emulate_power_cut_min
    echo "${2:-$1}" >$VEXIL_DBG/tst_emulate_power_cut_max
    echo "${3:-3}" >$VEXIL_DBG/tst_emulate_power_cut
}
powercut_disarm() {
    echo 0 >$VEXIL_DBG/tst_emulate_power_cut
    echo 0 >$VEXIL_DBG/tst_disable_bgt
}

# A power cut at each UBI header write in turn, from the flash saved in
# /tmp/board.img: cut_step runs under the cut (of KIND, as powercut_arm's),
# then after a re-attach cut_judge prints what the flash holds. One line a cut
# in /tmp/sweep.txt; ends with the first run the cut does not reach.
powercut_sweep() { # LIMIT [KIND]
    : >/tmp/sweep.txt
    n=1
    while [ "$n" -le "$1" ]; do
        flash_restore /tmp/board.img
        dmesg -c >/dev/null
        powercut_arm "$n" "$n" "${2:-3}"
        cut_step
        _rc=$?
        _where=$(powercut_where)
        ubi_reattach
        echo "n=$n rc=$_rc cut=${_where:-none} $(cut_judge)" | tee -a /tmp/sweep.txt
        [ -n "$_where" ] || break
        n=$((n + 1))
    done
}

# Where the last emulated cut hit, from its stack dump (clear the log with
# dmesg -c before arming): "<vid|ec>:<vtbl|rename|erase|data|data_st|other>", or "".
# Only key frames are matched: the dump's exact frame list is not stable.
powercut_where() {
    # Frames marked "?" are stale stack words, not callers. x86 ends the dump
    # with </TASK>; ARM with a system call's exception stack or ret_from_fork.
    dmesg | sed -n '/ubi_dbg_power_cut+/,/<\/TASK>\|Exception stack\|ret_from_fork/p' | grep -v ' ? ' >/tmp/.cut
    [ -s /tmp/.cut ] || return 0
    if grep -q ubi_io_write_ec_hdr /tmp/.cut; then _h=ec; else _h=vid; fi
    if grep -q ubi_change_vtbl_record /tmp/.cut; then _c=vtbl
    # ubi_vtbl_rename_volumes may be inlined into its caller.
    elif grep -q 'ubi_vtbl_rename_volumes\|ubi_rename_volumes' /tmp/.cut; then _c=rename
    elif grep -q erase_worker /tmp/.cut; then _c=erase
    elif grep -q ubi_eba_write_leb_st /tmp/.cut; then _c=data_st
    elif grep -q ubi_eba_write_leb /tmp/.cut; then _c=data
    else _c=other; fi
    echo "$_h:$_c"
}

# One line per volume: id name type data_bytes reserved_ebs corrupted upd_marker
ubi_vols() {
    for _v in /sys/class/ubi/ubi0/ubi0_*; do
        [ -d "$_v" ] || continue
        echo "${_v##*_} $(cat $_v/name) $(cat $_v/type) $(cat $_v/data_bytes)" \
            "$(cat $_v/reserved_ebs) $(cat $_v/corrupted) $(cat $_v/upd_marker)"
    done
}

# ubi_vols with a CRC-32 of each volume's contents: a static one's data, a
# dynamic one's first MiB (more than any payload of these tests but "big").
vol_table() {
    ubi_vols | while read -r _id _rest; do
        head -c 1048576 /dev/ubi0_$_id >/tmp/.vol
        echo "$_id $_rest $(ubicrc32 /tmp/.vol)"
    done
}

# Device id of a volume by name ("" if absent).
ubi_vol_id() {
    _p=$(grep -lx -- "$1" /sys/class/ubi/ubi0/ubi0_*/name 2>/dev/null) || return 1
    _p=${_p%/name}
    echo "${_p##*_}"
}

# A copy of the whole flash, taken once and laid back for each case: cheaper
# than formatting and building the board again, and every case starts from the
# very same erase counters and eraseblocks. block2mtd's RAM disk is copied with
# dd, and flash_layback, when the test has it, writes back only the
# eraseblocks that changed; nandsim's chip goes through mtd_image, which does
# the same through the MTD device (erase, then write with ECC).
VEXIL_RAM=/dev/ram2                           # block2mtd's backing store of mtd2
flash_save() { # FILE
    ubi_detach || return 1
    if [ "$VEXIL_FLASH" = nandsim ]; then
        /vexil/mtd_image save /dev/mtd$VEXIL_MTD "$1"
    else
        dd if=$VEXIL_RAM of="$1" bs=1M 2>/dev/null
    fi && ubi_attach
}
flash_restore() { # FILE
    [ ! -e /sys/class/ubi/ubi0 ] || ubi_detach
    if [ "$VEXIL_FLASH" = nandsim ]; then
        /vexil/mtd_image restore "$1" /dev/mtd$VEXIL_MTD >/dev/null
    elif [ -x /vexil/flash_layback ]; then
        /vexil/flash_layback "$1" $VEXIL_RAM "$(cat /sys/class/mtd/mtd$VEXIL_MTD/erasesize)" >/dev/null
    else
        dd if="$1" of=$VEXIL_RAM bs=1M 2>/dev/null
    fi && ubi_attach
}

# Payloads of the installer tests: /vexil/gen/GEN/{kernel,devicetree,rootfs}.bin. The
# slots as `vexil-image layout` gives them.
[ ! -f /vexil/layout.sh ] || . /vexil/layout.sh
slot_type() { eval "echo \$VEXIL_${1}_TYPE"; }
slot_size() { eval "echo \$VEXIL_${1}_SIZE"; }

# A volume as ubinfo and sysfs report it, and the md5 of its first LEN bytes
# read through its node (a static volume is read whole; LEN is its data size):
# "NAME TYPE DATA_BYTES UPD_MARKER CORRUPTED MD5", or "NAME absent".
vol_state() { # NAME LEN
    _id=$(ubi_vol_id "$1") || { echo "$1 absent"; return 0; }
    _s=/sys/class/ubi/ubi0/ubi0_$_id
    _t=$(ubinfo -d 0 -N "$1" | sed -n 's/^Type: *//p')
    if [ "$_t" = static ]; then
        _sum=$(cat /dev/ubi0_$_id 2>/dev/null | md5sum)
    else
        _sum=$(head -c "$2" /dev/ubi0_$_id 2>/dev/null | md5sum)
    fi
    echo "$1 $_t $(cat $_s/data_bytes) $(cat $_s/upd_marker) $(cat $_s/corrupted) ${_sum%% *}"
}

# What vol_state must say for a healthy volume of SLOT holding FILE.
vol_expected() { # NAME SLOT FILE
    _len=$(wc -c <"$3")
    _sum=$(md5sum <"$3")
    if [ "$2" = rootfs ]; then
        _ebs=$(( ($(slot_size rootfs) + $(cat /sys/class/ubi/ubi0/eraseblock_size) - 1) /
            $(cat /sys/class/ubi/ubi0/eraseblock_size) ))
        _len=$((_ebs * $(cat /sys/class/ubi/ubi0/eraseblock_size)))
    fi
    echo "$1 $(slot_type "$2") $_len 0 0 ${_sum%% *}"
}

# The sysfs directory of volume NAME, in _vd; fails if there is none.
vol_dir() { # NAME
    for _vd in /sys/class/ubi/ubi0/ubi0_*; do
        [ -f "$_vd/name" ] && read -r _vn <"$_vd/name" && [ "$_vn" = "$1" ] && return 0
    done
    return 1
}

# Whether kernel, devicetree and rootfs (with SUFFIX) are healthy and hold GEN;
# the first difference goes to stdout. What each slot must hold is worked out
# once per generation. Shell builtins and one cmp a volume: the power-cut
# sweeps run this twice a cut.
holds() { # GEN [SUFFIX]
    for _slot in $VEXIL_SLOTS; do
        _f=/vexil/gen/$1/$_slot.bin
        _w=/tmp/.want-$1-$_slot
        [ -s "$_w" ] || { wc -c <"$_f" >"$_w" && vol_expected "$_slot" "$_slot" "$_f" >>"$_w"; }
        { read -r _len && read -r _want; } <"$_w"
        if vol_dir "$_slot$2" && read -r _t <"$_vd/type" && read -r _b <"$_vd/data_bytes" &&
            read -r _u <"$_vd/upd_marker" && read -r _c <"$_vd/corrupted" &&
            [ "$_slot $_t $_b $_u $_c" = "${_want% *}" ] &&
            cmp -s -n "$_len" "/dev/ubi0_${_vd##*_}" "$_f"; then
            continue
        fi
        echo "  $_slot$2: got '$(vol_state "$_slot$2" "$_len")', want '$_slot$2${_want#$_slot}' ($1)"
        return 1
    done
}

# "new", "old" or "broken": which whole generation is current.
generation() { # OLD NEW
    if holds "$2" >/dev/null; then echo new
    elif holds "$1" >/dev/null; then echo old
    else echo broken; fi
}

# The current set and its manifest as ubi_vols shows them: ids, names, types,
# sizes and flags.
current_vols() { ubi_vols | grep -E '^[0-9]+ (kernel|devicetree|rootfs|manifest) '; }

# The current set must hold GEN and be the very volumes of VOLS (current_vols
# before), nothing renamed, and still so on a fresh attach.
current_untouched() { # GEN VOLS
    holds "$1" && [ "$(current_vols)" = "$2" ] && ubi_reattach && holds "$1" &&
        [ "$(current_vols)" = "$2" ]
}

# Flips the lowest bit of byte OFFSET of volume NAME's first LEN bytes, written
# back through the volume node as an update of the altered data.
vol_flip() { # NAME LEN OFFSET
    _node=/dev/ubi0_$(ubi_vol_id "$1") || return 1
    head -c "$2" "$_node" >/tmp/.flip || return 1
    _b=$(od -An -tu1 -j "$3" -N1 /tmp/.flip)
    printf "\\$(printf %o $((_b ^ 1)))" | dd of=/tmp/.flip bs=1 seek="$3" conv=notrunc 2>/dev/null &&
        ubiupdatevol "$_node" /tmp/.flip
}

# Volume names, sorted, on one line.
ubi_names() {
    for _v in /sys/class/ubi/ubi0/ubi0_*; do
        [ -d "$_v" ] && cat "$_v/name"
    done | sort | tr '\n' ' '
}

# The board before an update: GEN as the current set and PREV as "_prev",
# made and filled with mtd-utils.
board_make() { # GEN PREV
    flash_reset || return 1
    for _s in _prev ""; do
        _gen=$2
        [ -z "$_s" ] && _gen=$1
        for _slot in $VEXIL_SLOTS; do
            ubimkvol /dev/ubi0 -N "$_slot$_s" -s "$(slot_size $_slot)" -t "$(slot_type $_slot)" \
                >/dev/null || return 1
            ubiupdatevol "/dev/ubi0_$(ubi_vol_id "$_slot$_s")" "/vexil/gen/$_gen/$_slot.bin" ||
                return 1
        done
    done
}
