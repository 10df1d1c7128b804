#!/bin/sh
# vexil-slots on the board two signed installs leave, A ("new") then B
# ("next"), with the release key in the trust store: a downgrade to A refused,
# status, check, the lock held by a running install, damaged volumes, and a
# rollback. Each run's output goes to the host, which holds it to the same runs
# on the simulator; the boards they leave are checked here.
. /vexil/lib.sh

S=/vexil/img/signed
flash_reset
install_run a $S/signed.img
install_run b $S/signed-next.img
check "a, b: B current" holds next
check "a, b: A previous" holds new _prev
flash_save /tmp/ab.img
all=$(ubi_vols)
# Every volume as it was (ids, names, sizes, flags), B current and A previous.
unchanged() { [ "$(ubi_vols)" = "$all" ] && holds next && holds new _prev; }

install_run downgrade $S/signed.img
check "downgrade: nothing changed" unchanged
slots_run status status
slots_run check check

# A second run while an install holds the lock: the first one waits for its
# image on a pipe, the lock already taken.
mkfifo /tmp/feed
$VEXIL_INSTALLER /tmp/feed >/tmp/holder.out 2>&1 &
holder=$!
n=0
while ! grep -q ' FLOCK ' /proc/locks && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
check "busy: the first install holds the lock" grep -q ' FLOCK ' /proc/locks
install_run busy-install $S/signed-next.img
slots_run busy-rollback rollback
check "busy: nothing changed" unchanged
# The kernel drops the lock of a process that dies.
kill -9 $holder
wait $holder
slots_run after-kill rollback
check "after-kill: A current" holds new
check "after-kill: B previous" holds next _prev

# A byte flipped in the previous rootfs: check names it, rollback refuses.
len_new=$(wc -c </vexil/gen/new/rootfs.bin)
flash_restore /tmp/ab.img
vol_flip rootfs_prev "$len_new" $((len_new / 2))
check "damaged-prev: rootfs_prev no longer holds A" eval '! holds new _prev >/dev/null'
damaged=$(ubi_vols)
slots_run damaged-prev-check check
slots_run damaged-prev-rollback rollback
check "damaged-prev: nothing renamed" [ "$(ubi_vols)" = "$damaged" ]
check "damaged-prev: B current" holds next

# A byte flipped in the current rootfs: check fails, rollback brings A back.
len_next=$(wc -c </vexil/gen/next/rootfs.bin)
flash_restore /tmp/ab.img
vol_flip rootfs "$len_next" $((len_next / 2))
slots_run damaged-check check
slots_run damaged-rollback rollback
check "damaged: A current" holds new

# Rollback on the whole board.
flash_restore /tmp/ab.img
slots_run rollback rollback
check "rollback: A current" holds new
check "rollback: B previous" holds next _prev
ubi_reattach
check "rollback: the same after a fresh attach" eval 'holds new && holds next _prev'
slots_run rollback-status status
slots_run rollback-check check

echo "slots: $fails failure(s)"
[ "$fails" = 0 ]
