#!/bin/sh
# Signed images on a board whose trust store holds the release key. A signed
# image installs with the transcript of any good image. Every forgery is
# refused with the volume table (ids, names, types, sizes, flags, contents)
# exactly as it was, also on a fresh attach; so is any image while the current
# manifest cannot be read. A payload changed so that its CRC-32 stays gets past
# the block headers and is refused at its end: the current set stays, the
# previous generation is gone. Without a trust store a signed image installs
# all the same. The host compares each run's output.
. /vexil/lib.sh

IMG=/vexil/img
STORE=/etc/vexil/trusted-keys
check "the trust store holds the release key" [ "$(ls $STORE)" = release.pub ]
board_make cur old || { echo "FAIL - cannot make the board"; exit 1; }
flash_save /tmp/board.img
vols=$(current_vols)
# The manifest's signature flags: 1 signed, 2 verified by a trusted key.
signature_flags() { od -An -tu1 -j 69 -N1 "/dev/ubi0_$(ubi_vol_id manifest)"; }

install_run signed $IMG/signed/signed.img
check "signed: new set current" holds new
check "signed: previous current set is _prev" holds cur _prev
check "signed: the manifest says a trusted key verified it" [ "$(signature_flags)" -eq 3 ]
flash_save /tmp/verified.img

# refused NAME [IMAGE]: refused with the volume table as it was.
refused() {
    _before=$(vol_table)
    install_run "refused-$1" "${2:-$IMG/refused/$1.img}"
    check "refused-$1: the volume table as it was" [ "$(vol_table)" = "$_before" ]
    ubi_reattach
    check "refused-$1: and on a fresh attach" [ "$(vol_table)" = "$_before" ]
}
for img in $IMG/refused/*.img; do
    flash_restore /tmp/board.img
    name=${img##*/}
    refused "${name%.img}"
done
flash_restore /tmp/verified.img
check "the current manifest damaged" vol_flip manifest 118 40
refused manifest $IMG/signed/signed-next.img

flash_restore /tmp/board.img
install_run same-crc $IMG/signed/same-crc.img
check "same-crc: current set untouched and readable" current_untouched cur "$vols"
check "same-crc: the previous generation gone" \
    [ -z "$(ubi_vol_id kernel_prev)$(ubi_vol_id devicetree_prev)$(ubi_vol_id rootfs_prev)" ]
check "same-crc: no manifest made" [ -z "$(ubi_vol_id manifest_new)" ]

mv $STORE /tmp/trusted-keys
flash_restore /tmp/board.img
install_run nostore $IMG/signed/signed.img
check "nostore: new set current" holds new
check "nostore: previous current set is _prev" holds cur _prev
check "nostore: the manifest says signed, not verified" [ "$(signature_flags)" -eq 1 ]

echo "signed: $fails failure(s)"
[ "$fails" = 0 ]
