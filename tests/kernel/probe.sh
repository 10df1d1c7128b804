#!/bin/sh
# Guest side of the probe test: run ubi_probe on an empty ubi0, send back its output.
. /vexil/lib.sh
flash_reset
/vexil/ubi_probe "$VEXIL_MTD" >/tmp/probe.txt 2>&1
rc=$?
emit probe.txt /tmp/probe.txt
exit $rc
