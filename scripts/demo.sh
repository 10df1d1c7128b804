#!/usr/bin/env bash
# The main job, end to end on a simulated board: build the programs, make a
# signing key and payloads, pack them into a signed image, create a board that
# trusts the key and holds an older generation, install the image and show the
# board and its generations before and after.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh build
cmake -S . -B build-demo -DVEXIL_BUILD_TESTS=OFF >/dev/null
cmake --build build-demo -j"$(nproc)" --target vexil-image vexil-board VexilImageInstaller vexil-slots >/dev/null
bin=build-demo/tools

work=$(mktemp -d "${TMPDIR:-/tmp}/vexil-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT

payload() { head -c "$2" /dev/urandom > "$work/$1"; }
payload older-kernel 1900000
payload older-devicetree 29000
payload older-rootfs 11000000
payload old-kernel 2000000
payload old-devicetree 30000
payload old-rootfs 12000000
payload kernel 2500000
payload devicetree 32768
payload rootfs 16000000

echo "== the key and the signed image"
"$bin/vexil-image" keygen -o "$work/release"
"$bin/vexil-image" create -o "$work/update.img" --version 0x20261206 --descr "demo update" \
    --kernel "$work/kernel" --devicetree "$work/devicetree" --rootfs "$work/rootfs" \
    --sign "$work/release"
"$bin/vexil-image" info "$work/update.img"

echo
echo "== the board before"
"$bin/vexil-board" create "$work/board" \
    --kernel "$work/old-kernel" --devicetree "$work/old-devicetree" --rootfs "$work/old-rootfs" \
    --prev-kernel "$work/older-kernel" --prev-devicetree "$work/older-devicetree" \
    --prev-rootfs "$work/older-rootfs" --trusted-key "$work/release.pub"
"$bin/vexil-board" show "$work/board"

echo
echo "== the install"
status=0
"$bin/vexil-board" install "$work/board" "$work/update.img" || status=$?
echo "exit status: $status"

echo
echo "== the board after"
"$bin/vexil-board" show "$work/board"
echo
"$bin/vexil-board" slots "$work/board" status
exit "$status"
