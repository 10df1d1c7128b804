#!/usr/bin/env bash
# A Mender artifact for the Update Module "vexil" (support/mender/vexil) from
# a Vexil image. The image goes in byte for byte, so a signed image stays
# signed and the board's trust store judges it as ever; Mender's own artifact
# signature (--key) only comes on top. The name and provides come from the
# image's header, read with vexil-image info --json.
#
# usage: mender-artifact.sh [--device-type TYPE]... [--name NAME] [--key PEM]
#                           [--image-tool BIN] IMAGE OUT
#   --device-type  a device type the artifact is for, as the boards'
#                  /var/lib/mender/device_type says it (default vexil)
#   --name         the artifact's name (default: the image's description and
#                  version, "release 12 0x20261207", or "vexil 0x20261207")
#   --key          also sign the artifact with this private key, for boards
#                  whose mender.conf names its public key (ArtifactVerifyKey)
#   --image-tool   vexil-image (default: on PATH, else this tree's
#                  build/tools/vexil-image)
# Provides: rootfs-image.vexil.version (0x20261207) and
# rootfs-image.vexil.description; an artifact for the next version clears both.
# Exit 0 written, 1 an image the installer would refuse, 2 usage, 3 a tool
# missing or failing.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
usage() {
    sed -n '/^# usage:/,/^# Exit/{/^# Exit/d;s/^# \{0,1\}//;p}' "$0" >&2
    exit 2
}
die() { echo "mender-artifact: $1" >&2; exit "$2"; }

types=() name="" key="" tool=""
while (($#)); do
    case $1 in
    --device-type) types+=("${2:-}"); shift 2 || usage ;;
    --name) name=${2:-}; shift 2 || usage ;;
    --key) key=${2:-}; shift 2 || usage ;;
    --image-tool) tool=${2:-}; shift 2 || usage ;;
    -*) usage ;;
    *) break ;;
    esac
done
(($# == 2)) || usage
image=$1 out=$2
((${#types[@]})) || types=(vexil)

command -v mender-artifact >/dev/null || die "mender-artifact not found (Debian package mender-artifact)" 3
command -v python3 >/dev/null || die "python3 not found" 3
if [[ -z $tool ]]; then
    tool=$(command -v vexil-image || echo "$repo/build/tools/vexil-image")
fi
[[ -x $tool ]] || die "vexil-image not found: build it, or give --image-tool" 3

# The verdict the installer would give, but for a board's trust store.
if ! "$tool" verify "$image"; then
    die "$image: the installer would refuse it" 1
fi
info=$("$tool" info --json "$image") || die "vexil-image info failed" 3
# The version (0x%08x), then the description with control characters escaped.
fields=$(python3 -c 'import json, sys
h = json.load(sys.stdin)["header"]
print("0x%08x" % h["version"])
print("".join(c if c.isprintable() else "\\x%02x" % ord(c) for c in h["descr"]))' <<<"$info") ||
    die "cannot read the image's header" 3
{ read -r version; IFS= read -r descr || true; } <<<"$fields"
[[ -n $name ]] || name="${descr:-vexil} $version"

# The image's payloads come compressed (zImage, squashfs): gzip would only
# cost the board time.
args=(write module-image -T vexil -n "$name" -o "$out" -f "$image" --compression none
    --software-name vexil --software-version "$version" -p "rootfs-image.vexil.description:$descr")
for t in "${types[@]}"; do args+=(-t "$t"); done
[[ -z $key ]] || args+=(-k "$key")
mender-artifact "${args[@]}" >/dev/null || die "mender-artifact write failed" 3
echo "$out: artifact \"$name\", version $version, for ${types[*]}"
