#!/bin/sh
# Cut power at every UBI header write of one ubiupdatevol and record, per cut,
# where it hit and what a fresh attach finds. Output is deterministic
# (fixed ECs, background thread off) and compared against an expected table.
. /vexil/lib.sh

seq 1 200000 | head -c 1048576 >/tmp/big.img   # 9 LEBs, last one 1024 bytes
head -c 300000 /tmp/big.img >/tmp/small.img     # 3 LEBs, last one 38112 bytes

# MODE: dynamic = fresh dynamic volume, static = fresh static volume,
# static-over = static volume that already holds data (its LEBs get erased first).
sweep() { # MODE FILE MAXN
    n=1
    while [ "$n" -le "$3" ]; do
        flash_reset
        if [ "$1" = dynamic ]; then
            ubimkvol /dev/ubi0 -n 0 -N vol -s 16MiB >/dev/null
        else
            ubimkvol /dev/ubi0 -n 0 -N vol -s 4MiB -t static >/dev/null
            [ "$1" = static ] || ubiupdatevol /dev/ubi0_0 "$2"
        fi
        dmesg -c >/dev/null
        powercut_arm "$n"
        if ubiupdatevol /dev/ubi0_0 "$2" 2>/dev/null; then rc=ok; else rc=fail; fi
        where=$(powercut_where)
        ubi_reattach
        set -- "$1" "$2" "$3" "$(ubi_vols)"
        if cmp -s /dev/ubi0_0 "$2" 2>/dev/null; then d=exact
        elif head -c "$(wc -c <"$2")" /dev/ubi0_0 2>/dev/null | cmp -s - "$2"; then d=prefix
        else d=unreadable-or-different; fi
        echo "$1 n=$n update=$rc cut=${where:-none} | vol: ${4#0 vol } data=$d"
        n=$((n + 1))
    done
}
{
    sweep dynamic /tmp/big.img 15
    sweep static /tmp/small.img 9
    sweep static-over /tmp/small.img 12
} >/tmp/sweep.txt
cat /tmp/sweep.txt
emit powercut-sweep.txt /tmp/sweep.txt
