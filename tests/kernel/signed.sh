#!/bin/sh
# Signed images on a board whose trust store holds the release key: a signed
# image installs; an unsigned one, one signed by a key the board does not
# trust, a forged payload, a block behind the signature and a cut signature
# block are refused with the current set untouched. Without a trust store a
# signed image installs all the same. The host compares each run's output.
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

for bad in unsigned untrusted tampered trailing sigcut; do
    img=$IMG/signed/$bad.img
    [ $bad != unsigned ] || img=$IMG/new.img
    flash_restore /tmp/board.img
    install_run refused-$bad $img
    check "refused-$bad: current set untouched and readable" current_untouched cur "$vols"
    check "refused-$bad: no manifest made" [ -z "$(ubi_vol_id manifest_new)" ]
done

mv $STORE /tmp/trusted-keys
flash_restore /tmp/board.img
install_run nostore $IMG/signed/signed.img
check "nostore: new set current" holds new
check "nostore: previous current set is _prev" holds cur _prev
check "nostore: the manifest says signed, not verified" [ "$(signature_flags)" -eq 1 ]

echo "signed: $fails failure(s)"
[ "$fails" = 0 ]
