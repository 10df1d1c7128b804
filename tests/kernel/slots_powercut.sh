#!/bin/sh
# Cut the power at each UBI header write of one vexil-slots rollback in turn,
# then re-attach: one generation must be current and the other previous, both
# whole and each matching its manifest. Ends with the first rollback that the
# armed cut does not reach. The host checks the lines.
#
# The rollback writes two headers, the volume table's two copies, and the
# harness cannot cut the first header write after arming; so a spare volume is
# truncated first, four header writes of its own, and the sweep cuts those too:
# UBI then goes read-only before the rollback starts.
. /vexil/lib.sh

flash_reset
$VEXIL_INSTALLER /vexil/img/new.img >/dev/null &&
    $VEXIL_INSTALLER /vexil/img/next.img >/dev/null &&
    ubimkvol /dev/ubi0 -N spare -s 1 -t dynamic >/dev/null || { echo "cannot make the board"; exit 1; }
spare=/dev/ubi0_$(ubi_vol_id spare)
flash_save /tmp/board.img

# "B" before the rollback, "A" after it, or "broken".
current() {
    if holds next >/dev/null && holds new _prev >/dev/null; then echo B
    elif holds new >/dev/null && holds next _prev >/dev/null; then echo A
    else echo broken; fi
}

cut_step() {
    ubiupdatevol -t $spare 2>/dev/null
    $VEXIL_SLOTS_TOOL rollback >/tmp/out.txt 2>&1
}
cut_judge() {
    after=$(current)
    $VEXIL_SLOTS_TOOL check >/tmp/check.txt 2>&1
    checked=$?
    echo "after=$after check=$checked whole=$(grep -c '^[a-z]* generation: whole, ' /tmp/check.txt)"
}
powercut_sweep 100 2
emit slots-powercut.txt /tmp/sweep.txt
