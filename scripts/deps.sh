#!/usr/bin/env bash
# Makes sure the Debian packages that the build and the tests need are present.
# As root it installs what is missing; otherwise it names the missing packages.
# "deps.sh build" asks only for what building the programs needs.
set -euo pipefail

packages=(cmake make g++ libsodium-dev libubootenv-dev zlib1g-dev)
if [ "${1:-}" != "build" ]; then
    packages+=(libgtest-dev libgmock-dev clang libclang-rt-14-dev
               qemu-system-x86 busybox-static mtd-utils cpio libelf1
               g++-arm-linux-gnueabihf qemu-user-static strace u-boot-tools libubootenv-tool
               python3 mender-artifact openssl)
    # tests/mender/kernel.sh fetches mender-client itself (installed, its
    # service would run on this machine) and runs it in the VM with the
    # host's copies of its libraries.
    packages+=(libglib2.0-0 liblzma5 libssl3)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]}" >&2
    echo "install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
