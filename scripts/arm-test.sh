#!/usr/bin/env bash
# Builds the board's programs (32-bit ARM, statically linked) in build-arm/
# and runs the unit and end-to-end tests on that build under qemu-arm-static.
# As root it installs what is missing (armhf GoogleTest, zlib and libsodium come
# from Debian's multiarch packages) and lets the kernel run ARM programs through
# binfmt_misc, which the end-to-end tests need: they start the ARM tools.
# Without binfmt_misc only the unit tests run.
#
#   scripts/arm-test.sh [CMAKE_ARGS...]   e.g. -DVEXIL_CROSS_PREFIX=/opt/x/bin/arm-linux-gnueabihf-
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-arm
host_packages=(cmake make g++-arm-linux-gnueabihf qemu-user-static)
board_packages=(libgtest-dev:armhf zlib1g-dev:armhf libsodium-dev:armhf libubootenv-dev:armhf)

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=()
for p in "${host_packages[@]}" "${board_packages[@]}"; do
    installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "arm-test: missing Debian packages: ${missing[*]}" >&2
        echo "arm-test: as root: dpkg --add-architecture armhf && apt-get update &&" \
            "apt-get install ${missing[*]}" >&2
        exit 1
    fi
    dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
    echo "arm-test: installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The end-to-end tests exec ARM programs; the kernel hands those to qemu once
# qemu-arm is registered with binfmt_misc.
binfmt=/proc/sys/fs/binfmt_misc
binfmt_ready() {
    [ -e "$binfmt/qemu-arm" ] && grep -qx enabled "$binfmt/qemu-arm"
}
if ! binfmt_ready && [ "$(id -u)" -eq 0 ]; then
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
    if [ -e "$binfmt/register" ] && [ ! -e "$binfmt/qemu-arm" ]; then
        cat /usr/lib/binfmt.d/qemu-arm.conf >"$binfmt/register" 2>/dev/null || true
    fi
fi
labels='unit|e2e'
if ! binfmt_ready; then
    labels=unit
    echo "arm-test: ARM programs cannot be started directly (no binfmt_misc entry for" \
        "qemu-arm; registering it needs root): running the unit tests only" >&2
fi

# Emulator artefacts; these run in the host builds. qemu-user reports a target
# killed by a signal on that process's own stderr, so a death test that demands
# an exact stderr cannot pass; and it answers an ioctl it does not know (UBI's)
# with ENOSYS before the kernel can say ENOTTY.
emulator_only_failures='^(PlatformDeathTest\.AbortsWithoutMessage|DefaultOutputDeathTest\.LineAbove999998EndsProcess|KernelInterface\.LinuxIsTheDefault)$'

# qemu's core files would land in the test directories.
ulimit -c 0

# zlib is looked up afresh: a cache made without ZLIB_USE_STATIC_LIBS holds libz.so.
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
    -DVEXIL_STATIC=ON -DZLIB_USE_STATIC_LIBS=ON -U 'ZLIB_LIBRARY*' "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -L "$labels" -E "$emulator_only_failures"
