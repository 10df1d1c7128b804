#!/usr/bin/env bash
# Mender's own client drives the module on the real kernel. Debian's
# mender-client, in standalone mode, runs in the test VM (tests/kernel/vmrun.py,
# nandsim) with the module, the static installer and vexil-slots, a trust
# store and a U-Boot environment, and installs, commits and rolls back Vexil
# artifacts made by scripts/mender-artifact.sh (also signed for Mender). One
# VM is one boot of the board (tests/mender/guest.sh); the next one gets the
# flash, the environment and Mender's datastore the last one left, and is
# booted as real U-Boot decided on the host (scripts/uboot-rehearse.sh) from
# the volumes and environment the last one sent:
#   install   the factory's A, then B on trial      U-Boot: B's trial
#   commit    B committed; an unsigned image refused; a swapped artifact and
#             one of two files undone; C committed before a reboot undone;
#             C on trial                            U-Boot: C's trial
#   rollback  C rolled back (U-Boot then boots B); D on trial
#                                                   U-Boot: three trials of D
#                                                   unconfirmed, then B
#   fallback  mender commit, and mender rollback: B stays; the installer
#             killed in E's download, B stays (U-Boot: B); E on trial
#                                                   U-Boot: E's trial
# usage: kernel.sh --installer BIN --slots BIN --image-tool BIN [OUT_DIR]
#   (the static installer and vexil-slots, and vexil-image; ctest passes them)
# Exit 0 passed, 1 a failure, 2 usage, 77 skipped (no qemu, U-Boot or
# mender-client here).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
kt=$repo/tests/kernel
usage() {
    sed -n '/^# usage:/,/^# Exit/{/^# Exit/d;s/^# \{0,1\}//;p}' "$0" >&2
    exit 2
}
installer="" slots="" image_tool="" out=""
while (($#)); do
    case $1 in
    --installer) installer=${2:-}; shift 2 || usage ;;
    --slots) slots=${2:-}; shift 2 || usage ;;
    --image-tool) image_tool=${2:-}; shift 2 || usage ;;
    -*) usage ;;
    *) out=$1; shift ;;
    esac
done
for bin in "$installer" "$slots" "$image_tool"; do [[ -n $bin && -x $bin ]] || usage; done
out=${out:-${TMPDIR:-/tmp}/vexil-mender-kernel}
skip() { echo "mender-kernel: SKIP: $*" >&2; exit 77; }
for tool in mender-artifact openssl fw_setenv ubinize; do
    command -v $tool >/dev/null || skip "$tool not found (scripts/deps.sh installs it)"
done

# Debian's mender-client, unpacked once into the cache; offline the newest
# copy there serves.
cache=${VEXIL_MENDER_CACHE:-/var/cache/vexil-mender}
version=$(apt-cache show --no-all-versions mender-client 2>/dev/null | sed -n 's/^Version: //p' | head -n1)
if [[ -n $version ]]; then
    client=$cache/mender-client-${version//:/_}
else
    client=$(ls -1d "$cache"/mender-client-* 2>/dev/null | sort -V | tail -n1) ||
        skip "cannot resolve mender-client (run apt-get update?)"
fi
if [[ ! -f $client/.complete ]]; then
    mkdir -p "$cache" 2>/dev/null && [[ -w $cache ]] || skip "cannot write $cache (set VEXIL_MENDER_CACHE)"
    tmp=$(mktemp -d "$cache/.dl.XXXXXX")
    trap 'rm -rf "$tmp"' EXIT
    # apt's _apt sandbox user must be able to write the download dir.
    chmod 0777 "$tmp"
    (cd "$tmp" && apt-get download -q "mender-client=$version" >&2) || skip "apt-get download mender-client failed"
    dpkg-deb -x "$tmp"/mender-client_*.deb "$tmp/root"
    rm -rf "$client"
    mv "$tmp/root" "$client"
    touch "$client/.complete"
fi
mender=$client/usr/bin/mender
# vmrun.py carries the host's copies of its libraries into the VM.
if ldd "$mender" | grep -q 'not found'; then
    skip "mender's libraries are missing here: $(ldd "$mender" | grep 'not found' | tr -s ' \n' ' ')"
fi

set +e
kinfo=$("$repo/scripts/kernel/fetch-kernel.sh")
rc=$?
set -e
((rc == 0)) || exit "$rc"
set +e
uinfo=$("$repo/scripts/uboot/build-uboot.sh")
rc=$?
set -e
((rc == 0)) || exit "$rc"
kernel=(--kernel "$(sed -n 's/^VMLINUX=//p' <<<"$kinfo" | grep . || sed -n 's/^VMLINUZ=//p' <<<"$kinfo")"
    --modules "$(sed -n 's/^MODULES=//p' <<<"$kinfo")")
default_env=$(sed -n 's/^DEFAULT_ENV=//p' <<<"$uinfo")

rm -rf "$out"
mkdir -p "$out"
set +e
nand_module=$("$repo/scripts/kernel/nand-module.sh" "$out")
rc=$?
set -e
((rc == 0)) || exit "$rc"
g++ -static -O2 -Wall -Wextra -Werror -I"$repo" -o "$out/mtd_image" "$kt/guest/mtd_image.cpp" \
    "$repo/Platform/Files.cpp" || skip "cannot build a static mtd_image"

# --- the inputs ------------------------------------------------------------------
# Generations A to E (releases 1 to 5, each signed by the release key) and X,
# another build of release 3; an unsigned image of C's payloads.
in=$out/in
mkdir -p "$in/img" "$in/art"
"$image_tool" keygen -o "$in/release" >/dev/null
openssl ecparam -genkey -name prime256v1 -noout -out "$in/mender.pem" 2>/dev/null
openssl ec -in "$in/mender.pem" -pubout -out "$in/mender.pub.pem" 2>/dev/null
image() { # GEN NUMBER DESCR [SIGN]
    local g=$1 slot
    mkdir -p "$in/gen/$g"
    for slot in kernel:65536 devicetree:8192 rootfs:262144; do
        head -c "${slot#*:}" /dev/urandom >"$in/gen/$g/${slot%:*}.bin"
    done
    "$image_tool" create -o "$in/img/$g.img" --kernel "$in/gen/$g/kernel.bin" \
        --devicetree "$in/gen/$g/devicetree.bin" --rootfs "$in/gen/$g/rootfs.bin" \
        --version "0x2026000$2" --descr "$3" ${4:+--sign "$in/release"} >/dev/null
}
for g in A:1 B:2 C:3 D:4 E:5; do image "${g%:*}" "${g#*:}" "release ${g#*:}" sign; done
image X 3 "release 3 rebuilt" sign
"$image_tool" create -o "$in/img/unsigned.img" --kernel "$in/gen/C/kernel.bin" \
    --devicetree "$in/gen/C/devicetree.bin" --rootfs "$in/gen/C/rootfs.bin" \
    --version 0x20260003 --descr "release 3" >/dev/null
artifact() { # IMAGE ARTIFACT
    "$repo/scripts/mender-artifact.sh" --device-type vexil-nandsim --key "$in/mender.pem" \
        --image-tool "$image_tool" "$1" "$in/art/$2.mender" >/dev/null
}
for g in B C D E unsigned; do artifact "$in/img/$g.img" $g; done
# C's artifact with X's image in its place (under C's file name): every part
# of it signed, but the payload not the one its manifest names.
mkdir -p "$in/x"
cp "$in/img/X.img" "$in/x/C.img"
artifact "$in/x/C.img" X
python3 - "$in/art/C.mender" "$in/art/X.mender" "$in/art/swapped.mender" <<'EOF'
import sys, tarfile
original, other = tarfile.open(sys.argv[1]), tarfile.open(sys.argv[2])
with tarfile.open(sys.argv[3], "w", format=tarfile.GNU_FORMAT) as out:
    for member in original.getmembers():
        source = other if member.name.startswith("data/") else original
        entry = source.getmember(member.name)
        out.addfile(entry, source.extractfile(entry))
EOF
# X and C in one artifact.
mender-artifact write module-image -T vexil -t vexil-nandsim -n "two files" -f "$in/img/X.img" \
    -f "$in/img/C.img" -k "$in/mender.pem" --compression none -o "$in/art/two-files.mender" >/dev/null

# The board's configuration: Mender's (a verify key, a device type and the
# factory's artifact name), the U-Boot environment with three tries for a set
# on trial, its fw_env.config.
mkdir -p "$in/etc" "$out/board"
echo '{"ArtifactVerifyKey": "/etc/mender/artifact-verify-key.pem"}' >"$in/etc/mender.conf"
echo "device_type=vexil-nandsim" >"$in/etc/device_type"
echo "artifact_name=release 1 0x20260001" >"$in/etc/artifact_info"
echo "/vexil/board/env.bin 0x0 0x2000" >"$in/etc/fw_env.config"
head -c 8192 /dev/zero | tr '\0' '\377' >"$out/board/env.bin"
echo "$out/board/env.bin 0x0 0x2000" >"$in/etc/host-fw_env.config"
echo vexil_max_tries=3 >"$in/etc/env.txt"
# It says it starts from the default: the area is blank.
fw_setenv -c "$in/etc/host-fw_env.config" -f "$default_env" -s "$in/etc/env.txt" >/dev/null 2>&1

files=(--flash nandsim --nand-module "$nand_module" --file "$out/mtd_image:/vexil/mtd_image"
    --file "$installer:/usr/bin/VexilImageInstaller" --file "$slots:/usr/bin/vexil-slots"
    --file "$mender:/usr/bin/mender" --file "$repo/support/mender/vexil:/usr/share/mender/modules/v3/vexil"
    --file "$in/etc/mender.conf:/etc/mender/mender.conf"
    --file "$in/mender.pub.pem:/etc/mender/artifact-verify-key.pem"
    --file "$in/etc/artifact_info:/etc/mender/artifact_info"
    --file "$in/etc/device_type:/vexil/mender/device_type"
    --file "$in/release.pub:/etc/vexil/trusted-keys/release.pub"
    --file "$in/etc/fw_env.config:/vexil/fw_env.config" --file "$in/img/A.img:/vexil/img/A.img")
for f in "$in"/gen/*/*.bin "$in"/art/{B,C,D,E,unsigned,swapped,two-files}.mender; do
    files+=(--file "$f:/vexil/${f#"$in"/}")
done

# --- the boots -------------------------------------------------------------------
fails=0
hcheck() { # DESCRIPTION COMMAND...
    local d=$1
    shift
    if "$@"; then echo "ok   - $d"; else echo "FAIL - $d"; fails=$((fails + 1)); fi
}
# One boot of the board: the VM of STEP with the board the last one left
# (none for the first), booted with ARGS on the kernel command line.
args=""
boot() { # STEP
    local rc=0 board=()
    echo "$1" >"$out/step-$1"
    if [[ -e $out/board/flash.img.gz ]]; then
        board=(--file "$out/board/flash.img.gz:/vexil/board/flash.img.gz"
            --file "$out/board/mender.tar:/vexil/board/mender.tar")
    fi
    python3 "$kt/vmrun.py" "$here/guest.sh" --out "$out/$1" --timeout 300 "${kernel[@]}" "${files[@]}" \
        --file "$out/step-$1:/vexil/step" --file "$out/board/env.bin:/vexil/board/env.bin" \
        "${board[@]}" --append "$args" || rc=$?
    sed 's/^/  /' "$out/$1/guest.log"
    ((rc != 77)) || exit 77
    hcheck "boot $1: every check in the VM passed (exit $rc)" [ "$rc" = 0 ]
    [[ $rc == 0 ]] || { echo "mender-kernel: logs in $out/$1" >&2; exit 1; }
}
# The next boot gets the flash and datastore STEP left, and the environment
# U-Boot left in DIR.
carry() { # STEP DIR
    cp "$out/$1/board/flash.img.gz" "$out/$1/board/mender.tar" "$out/board/"
    cp "$2/env.bin" "$out/board/env.bin"
}
# Real U-Boot boots BOOTS times on the volumes and environment of DIR, which
# it changes; the last boot's kernel arguments, but for ubi.mtd= (the VM's
# UBI is attached by its init), in $args.
decide() { # DIR BOOTS EXPECTED_LINES
    local lines
    lines=$("$repo/scripts/uboot-rehearse.sh" --ubi-ini "$1/volumes.ini" --env "$1/env.bin" \
        --boots "$2" --verbose)
    hcheck "U-Boot on ${1#"$out"/}: $(grep -c '^boot' <<<"$lines") boot(s) as expected" \
        [ "$(grep '^boot' <<<"$lines")" = "$3" ]
    [[ $(grep '^boot' <<<"$lines") == "$3" ]] || echo "$lines" | sed 's/^/    /'
    args=$(sed -n 's/^  kernel arguments: ubi\.mtd=[^ ]* //p' <<<"$lines" | tail -n 1)
}

start=$SECONDS
boot install
decide "$out/install/uboot" 1 "boot 1: trial of the current set (rootfs), vexil_tries 3 -> 2"
carry install "$out/install/uboot"
boot commit
decide "$out/commit/uboot" 1 "boot 1: trial of the current set (rootfs), vexil_tries 3 -> 2"
carry commit "$out/commit/uboot"
boot rollback
decide "$out/rollback/after-rollback" 1 "boot 1: the current set (rootfs), vexil_tries 2"
decide "$out/rollback/uboot" 4 "boot 1: trial of the current set (rootfs), vexil_tries 3 -> 2
boot 2: trial of the current set (rootfs), vexil_tries 2 -> 1
boot 3: trial of the current set (rootfs), vexil_tries 1 -> 0
boot 4: fallback to the previous set (rootfs_prev), vexil_tries 0"
carry rollback "$out/rollback/uboot"
boot fallback
decide "$out/fallback/after-cut" 1 "boot 1: the current set (rootfs), vexil_tries 0"
decide "$out/fallback/end" 1 "boot 1: trial of the current set (rootfs), vexil_tries 3 -> 2"

for t in "$out"/*/timing.txt; do
    echo "  time $(basename "$(dirname "$t")"): $(sed -n 's/^total_s=//p' "$t") s"
done
echo "  time in all: $((SECONDS - start)) s for the boots and U-Boot's decisions"
((fails == 0))
