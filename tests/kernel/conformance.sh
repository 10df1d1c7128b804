#!/bin/sh
# Guest side of the conformance test: the UBI cases on an empty ubi0.
. /vexil/lib.sh
flash_reset
/vexil/ubi-conformance 0 >/tmp/conformance.txt 2>&1
rc=$?
emit conformance.txt /tmp/conformance.txt
exit $rc
