#!/usr/bin/env python3
"""Payloads and images for the installer scenarios in the VM.

Good images come from vexil-image; the broken ones are byte edits of a good
one, as a damaged download, a truncated copy or a forger would make them.

Usage: make_inputs.py OUT_DIR VEXIL_IMAGE
Writes OUT_DIR/gen/<generation>/{kernel,devicetree,rootfs}.bin, OUT_DIR/img/*.img,
the signed ones OUT_DIR/img/signed/*.img, the forgeries a board with a trust
store refuses OUT_DIR/img/refused/NAME.img with the reason it must give in
NAME.reason, the signing keys OUT_DIR/keys/{release,stranger}[.pub] and the
board's trust store OUT_DIR/trust/release.pub.
"""

import os
import random
import shutil
import struct
import subprocess
import sys
import zlib

HEADER = 60
BLOCK_HEADER = 12
DESCRIPTION_ID = 0x56445343
SLOTS = ("kernel", "devicetree", "rootfs")

# Sizes per slot: small enough for a full power-cut sweep, yet each kind of
# volume spans more than one eraseblock in some generation (LEB 130944 bytes
# on block2mtd, 129024 on the NAND simulator). "big" gives the simulator's
# random bit flips (one page read in 1024) pages enough to hit.
GENERATIONS = {
    "old": (5000, 300, 9000),
    "cur": (140000, 1200, 200000),
    "new": (150000, 2000, 270000),
    "next": (70000, 131072, 140000),
    "empty": (60000, 0, 50000),
    "big": (600000, 3000, 4000000),
}


def payloads(out):
    for gen, sizes in GENERATIONS.items():
        d = os.path.join(out, "gen", gen)
        os.makedirs(d, exist_ok=True)
        rng = random.Random("payload " + gen)
        for slot, size in zip(SLOTS, sizes):
            with open(os.path.join(d, slot + ".bin"), "wb") as f:
                f.write(rng.randbytes(size))


def create(tool, out, name, order, gen, *extra, version="0x20261206"):
    d = os.path.join(out, "gen", gen)
    args = [tool, "create", "-o", os.path.join(out, "img", name + ".img"),
            "--version", version, "--descr", "update " + gen]
    for slot in order:
        args += ["--" + slot, os.path.join(d, slot + ".bin")]
    subprocess.run(args + list(extra), check=True)
    return read(out, name)


def read(out, name):
    with open(os.path.join(out, "img", name + ".img"), "rb") as f:
        return bytearray(f.read())


def write(out, name, data):
    with open(os.path.join(out, "img", name + ".img"), "wb") as f:
        f.write(data)


def blocks(image):
    """(offset, size) of each block header."""
    at, found = HEADER, []
    while at + BLOCK_HEADER <= len(image):
        size = struct.unpack_from(">I", image, at + 4)[0]
        found.append((at, size))
        at += BLOCK_HEADER + size
    return found


def block(block_id, payload):
    return struct.pack(">III", block_id, len(payload), zlib.crc32(payload)) + payload


def key_id(out, name):
    with open(os.path.join(out, "keys", name + ".pub")) as f:
        return f.read().split()[1]


def refused(out, name, image, reason):
    with open(os.path.join(out, "img", "refused", name + ".img"), "wb") as f:
        f.write(image)
    with open(os.path.join(out, "img", "refused", name + ".reason"), "w") as f:
        f.write(reason + "\n")


def fix_crc(image, at):
    size = struct.unpack_from(">I", image, at + 4)[0]
    struct.pack_into(">I", image, at + 8, zlib.crc32(image[at + BLOCK_HEADER:at + BLOCK_HEADER + size]))


def signed(tool, out):
    """Signed images, and the forgeries a board with a trust store must refuse."""
    keys = os.path.join(out, "keys")
    os.makedirs(keys, exist_ok=True)
    os.makedirs(os.path.join(out, "trust"), exist_ok=True)
    for d in ("signed", "refused"):
        os.makedirs(os.path.join(out, "img", d), exist_ok=True)
    for key in ("release", "stranger"):
        subprocess.run([tool, "keygen", "-o", os.path.join(keys, key)], check=True,
                       stdout=subprocess.DEVNULL)
    shutil.copy(os.path.join(keys, "release.pub"), os.path.join(out, "trust"))
    release = ("--sign", os.path.join(keys, "release"))
    good = create(tool, out, "signed/signed", SLOTS, "new", *release)
    following = create(tool, out, "signed/signed-next", SLOTS, "next", *release,
                       version="0x20261207")
    (desc_at, desc_size), (kernel_at, _), (dt_at, dt_size), (rootfs_at, rootfs_size) = blocks(good)
    assert struct.unpack_from(">I", good, desc_at)[0] == DESCRIPTION_ID
    release_id = key_id(out, "release")

    refused(out, "unsigned", read(out, "new"), "the image is not signed")
    untrusted = create(tool, out, "signed/untrusted", SLOTS, "new",
                       "--sign", os.path.join(keys, "stranger"))
    refused(out, "untrusted", untrusted,
            f"the image is signed by key {key_id(out, 'stranger')}, which the board does not trust")
    # One devicetree payload byte changed and its block's CRC made to match.
    tampered = bytearray(good)
    tampered[dt_at + BLOCK_HEADER + dt_size // 2] ^= 0x01
    fix_crc(tampered, dt_at)
    crcs = [struct.unpack_from(">I", img, dt_at + 8)[0] for img in (good, tampered)]
    refused(out, "tampered", tampered,
            f"block 3 (devicetree) is not the block the signed description lists next (entry 2: "
            f"ID 3, {dt_size} bytes, CRC-32 {crcs[0]:08x}; the image has {dt_size} bytes, "
            f"CRC-32 {crcs[1]:08x})")
    # The version in the header changed.
    header = bytearray(good)
    header[27] ^= 0x01
    refused(out, "header", header, "the image header is not the one the signed description holds")
    # This image's header and description in front of another signed image's blocks.
    spliced = good[:kernel_at] + following[blocks(following)[1][0]:]
    next_kernel = struct.unpack_from(">III", following, blocks(following)[1][0])
    want = struct.unpack_from(">III", good, kernel_at)
    refused(out, "spliced", spliced,
            f"block 1 (kernel) is not the block the signed description lists next (entry 1: ID 1, "
            f"{want[1]} bytes, CRC-32 {want[2]:08x}; the image has {next_kernel[1]} bytes, "
            f"CRC-32 {next_kernel[2]:08x})")
    # kernel and devicetree swapped.
    swapped = good[:kernel_at] + good[dt_at:rootfs_at] + good[kernel_at:dt_at] + good[rootfs_at:]
    kernel_entry = struct.unpack_from(">III", good, kernel_at)
    refused(out, "order", swapped,
            f"block 3 (devicetree) is not the block the signed description lists next (entry 1: "
            f"ID 1, {kernel_entry[1]} bytes, CRC-32 {kernel_entry[2]:08x}; the image has "
            f"{dt_size} bytes, CRC-32 {crcs[0]:08x})")
    # The description cut to half, its CRC and the image's length made to match.
    cut = good[:desc_at] + block(DESCRIPTION_ID, bytes(good[desc_at + BLOCK_HEADER:desc_at + BLOCK_HEADER + desc_size // 2])) + good[kernel_at:]
    struct.pack_into(">I", cut, 20, len(cut))
    refused(out, "description-cut", cut,
            f"the signed description is malformed: it is {desc_size // 2} bytes")
    # A byte of the description's signature changed, its CRC made to match.
    forged = bytearray(good)
    forged[kernel_at - 1] ^= 0x01
    fix_crc(forged, desc_at)
    refused(out, "forged", forged, f"the signature by key {release_id} does not match the image")
    # Five rootfs payload bytes changed so that its CRC-32 stays: only the digest can tell, at the
    # block's end.
    same_crc = bytearray(good)
    generator = (0xEDB88320 << 1 | 1).to_bytes(5, "little")
    for i, b in enumerate(generator):
        same_crc[rootfs_at + BLOCK_HEADER + rootfs_size // 2 + i] ^= b
    assert zlib.crc32(same_crc[rootfs_at + BLOCK_HEADER:]) == zlib.crc32(good[rootfs_at + BLOCK_HEADER:])
    write(out, "signed/same-crc", same_crc)


def main():
    out, tool = sys.argv[1], sys.argv[2]
    os.makedirs(os.path.join(out, "img"), exist_ok=True)
    payloads(out)
    for gen in ("new", "next", "empty", "big"):
        create(tool, out, gen, SLOTS, gen)
    create(tool, out, "product", SLOTS, "new", "--product", "Other")

    good = read(out, "new")
    last_at, last_size = blocks(good)[-1]
    # Without its rootfs block, the declared length fixed to match.
    missing = good[:last_at]
    struct.pack_into(">I", missing, 20, len(missing))
    write(out, "missing", missing)
    # One flipped bit in the last payload byte.
    crc = bytearray(good)
    crc[-1] ^= 0x01
    write(out, "crc", crc)
    # Cut inside the rootfs payload.
    write(out, "short", good[:last_at + BLOCK_HEADER + last_size // 2])
    # rootfs first, then cut inside the kernel payload: an earlier run that
    # leaves a complete rootfs_new and an unfinished kernel_new behind.
    rootfs_first = create(tool, out, "leftover", ("rootfs", "kernel", "devicetree"), "new")
    kernel_at, kernel_size = blocks(rootfs_first)[1]
    write(out, "leftover", rootfs_first[:kernel_at + BLOCK_HEADER + kernel_size // 2])
    signed(tool, out)


if __name__ == "__main__":
    main()
