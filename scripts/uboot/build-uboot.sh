#!/usr/bin/env bash
# Builds the U-Boot that runs the boot script in the tests and the rehearsal:
# Debian's own U-Boot source (apt-get source u-boot, the version of the
# archive's u-boot-tools) as the sandbox, a U-Boot that runs as a Linux
# process, configured by sandbox.config on top of sandbox_defconfig, with the
# patches in patches/. The sandbox's SPI flash emulation holds the environment
# and NAND.ubi in two files (rig.dts); the rig's built-in environment is
# rig-default-env.txt.
#
# Cached in /var/cache/vexil-uboot (VEXIL_UBOOT_CACHE) by source version and a
# hash of the configuration, patches and built-in environment. Prints
# KEY=VALUE lines: UBOOT (the program), DTB (the rig's device tree), DEFAULT_ENV
# (the built-in environment as fw_setenv -f reads it) and VERSION.
# Exit 0 done, 1 the build failed, 77 U-Boot cannot be had here (skip).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache=${VEXIL_UBOOT_CACHE:-/var/cache/vexil-uboot}
jobs=${VEXIL_UBOOT_JOBS:-2}
packages=(gcc make bison flex bc libssl-dev python3-dev python3-setuptools swig xxd dpkg-dev
          u-boot-tools libubootenv-tool)

skip() { echo "build-uboot: SKIP: $*" >&2; exit 77; }
fail() { echo "build-uboot: $*" >&2; exit 1; }

installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
    sed -n 's/ install ok installed$//p') || true
missing=()
for p in "${packages[@]}"; do
    grep -qxF "$p" <<<"$installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    [[ $(id -u) == 0 ]] || skip "packages missing (${missing[*]}) and not root to install them"
    "$here/../apt-retry.sh" apt-get install -y -q --no-install-recommends "${missing[@]}" || skip "apt-get install ${missing[*]} failed"
fi

mkdir -p "$cache" 2>/dev/null || skip "cannot create $cache (set VEXIL_UBOOT_CACHE)"
[[ -w $cache ]] || skip "$cache not writable (set VEXIL_UBOOT_CACHE)"

# The source version is that of the archive's u-boot-tools, less a binNMU suffix.
version=$(dpkg-query -W -f='${source:Version}' u-boot-tools 2>/dev/null) || true
config_hash=$(cat "$here/sandbox.config" "$here/rig-default-env.txt" "$here"/patches/*.patch |
    sha256sum | cut -c1-12)
if [[ -z $version ]]; then
    entry=$(ls -1d "$cache"/u-boot-*-"$config_hash" 2>/dev/null | sort -V | tail -n1) || true
    [[ -n $entry ]] || skip "cannot tell which U-Boot version Debian has"
else
    entry=$cache/u-boot-$version-$config_hash
fi

# One build at a time; a second caller waits and then finds it done.
exec 9>"$cache/.lock"
flock 9

if [[ ! -f $entry/.complete ]]; then
    tmp=$(mktemp -d "$cache/.build.XXXXXX")
    trap 'rm -rf "$tmp"' EXIT
    # Source lists of its own, from the system's Debian entries: the system's
    # apt configuration is left as it is.
    apt_dir=$cache/apt
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/sources"
    rm -f "$apt_dir"/sources/*
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        if [[ -f $f ]]; then
            sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' "$f" >>"$apt_dir/sources/debian-src.list"
        fi
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        if [[ -f $f ]] && grep -q '^URIs:.*debian' "$f"; then
            sed 's/^Types:.*/Types: deb-src/' "$f" >"$apt_dir/sources/${f##*/}"
        fi
    done
    apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/sources"
              -o "Dir::State::Lists=$apt_dir/lists")
    apt-get -q "${apt_opts[@]}" update >&2 || skip "apt-get update of the source lists failed"
    # apt's _apt sandbox user must be able to write the download dir.
    chmod 0777 "$tmp"
    (cd "$tmp" && apt-get -q "${apt_opts[@]}" source --download-only "u-boot=$version" >&2) ||
        skip "apt-get source u-boot=$version failed"
    dpkg-source -x "$tmp"/u-boot_*.dsc "$tmp/src" >/dev/null || fail "dpkg-source -x failed"

    src=$tmp/src
    for p in "$here"/patches/*.patch; do
        patch -d "$src" -p1 --forward --quiet <"$p" || fail "patch ${p##*/} does not apply"
    done
    cp "$here/rig-default-env.txt" "$src/"
    log=$tmp/build.log
    echo "build-uboot: building U-Boot $version (sandbox), log in $log" >&2
    start=$SECONDS
    if ! (cd "$src" &&
        make sandbox_defconfig &&
        scripts/kconfig/merge_config.sh -m .config "$here/sandbox.config" &&
        make olddefconfig) >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        fail "configuring failed"
    fi
    # merge_config.sh drops what Kconfig refuses without failing: check every line.
    while read -r line; do
        case $line in
        CONFIG_*) grep -qxF -- "$line" "$src/.config" || fail "not in .config: $line" ;;
        "# CONFIG_"*" is not set")
            opt=${line#\# }
            opt=${opt%% *}
            ! grep -q "^$opt=" "$src/.config" || fail "still set in .config: $opt"
            ;;
        esac
    done <"$here/sandbox.config"
    # NO_SDL: no display or sound; the rig talks through the serial console.
    if ! make -C "$src" -j"$jobs" NO_SDL=1 u-boot >>"$log" 2>&1; then
        tail -n 20 "$log" >&2
        fail "make failed"
    fi
    echo "build-uboot: built in $((SECONDS - start)) s" >&2
    mkdir "$tmp/out"
    cp "$src/u-boot" "$src/scripts/dtc/dtc" "$src/.config" "$tmp/out/"
    grep -v '^#' "$here/rig-default-env.txt" | grep . >"$tmp/out/default-env.txt"
    rm -rf "$entry"
    mv "$tmp/out" "$entry"
    touch "$entry/.complete"
fi

# The device tree is cheap to build: by its own hash, so editing it needs no
# new U-Boot.
dtb=$entry/rig-$(sha256sum <"$here/rig.dts" | cut -c1-12).dtb
if [[ ! -f $dtb ]]; then
    "$entry/dtc" -q -I dts -O dtb -o "$dtb.tmp" "$here/rig.dts" || fail "dtc failed on rig.dts"
    mv "$dtb.tmp" "$dtb"
fi

echo "VERSION=$version"
echo "UBOOT=$entry/u-boot"
echo "DTB=$dtb"
echo "DEFAULT_ENV=$entry/default-env.txt"
