#!/usr/bin/env bash
# Builds boot.scr, the image U-Boot's "source" runs, from vexil-boot.cmd.
# usage: make-boot-scr.sh OUT
# The image header's time is SOURCE_DATE_EPOCH (default 0): the same script
# gives the same bytes. Exit 77 when mkimage (u-boot-tools) is missing.
set -euo pipefail

[[ $# == 1 ]] || { echo "usage: make-boot-scr.sh OUT" >&2; exit 2; }
if ! command -v mkimage >/dev/null; then
    echo "make-boot-scr: SKIP: mkimage not found (Debian package u-boot-tools)" >&2
    exit 77
fi
here=$(cd "$(dirname "$0")" && pwd)
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-0} \
    mkimage -A arm -T script -C none -n "Vexil boot script" -d "$here/vexil-boot.cmd" "$1"
