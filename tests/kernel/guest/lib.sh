# Guest-side helpers, sourced by /init and by test scripts (. /vexil/lib.sh).
# Busybox ash; no bash-isms.

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

ubi_attach() { ubiattach -m "$VEXIL_MTD" -d 0 >/dev/null; }
ubi_detach() { ubidetach -m "$VEXIL_MTD" >/dev/null; }

# What the flash really holds: a fresh attach rescans every PEB.
ubi_reattach() { ubi_detach; ubi_attach; }

# Fixed erase counters and image sequence number: every case starts from the
# same flash. Cheap once the PEBs are 0xFF (block2mtd skips erased pages).
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

# Where the last emulated cut hit, from its stack dump (clear the log with
# dmesg -c before arming): "<vid|ec>:<vtbl|erase|data|data_st|other>", or "".
# Only key frames are matched: the dump's exact frame list is not stable.
powercut_where() {
    dmesg | sed -n '/ubi_dbg_power_cut+/,/<\/TASK>/p' >/tmp/.cut
    [ -s /tmp/.cut ] || return 0
    if grep -q ubi_io_write_ec_hdr /tmp/.cut; then _h=ec; else _h=vid; fi
    if grep -q ubi_change_vtbl_record /tmp/.cut; then _c=vtbl
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

# Device id of a volume by name ("" if absent).
ubi_vol_id() {
    for _v in /sys/class/ubi/ubi0/ubi0_*; do
        [ -d "$_v" ] && [ "$(cat $_v/name)" = "$1" ] && { echo "${_v##*_}"; return 0; }
    done
    return 1
}
