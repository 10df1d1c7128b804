#!/usr/bin/env python3
"""Payloads and images for the installer scenarios in the VM.

Good images come from vexil-image; the broken ones are byte edits of a good
one, as a damaged download or a truncated copy would be.

Usage: make_inputs.py OUT_DIR VEXIL_IMAGE
Writes OUT_DIR/gen/<generation>/{kernel,devicetree,rootfs}.bin and OUT_DIR/img/*.img.
"""

import os
import random
import struct
import subprocess
import sys

HEADER = 60
BLOCK_HEADER = 12
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


def create(tool, out, name, order, gen, *extra):
    d = os.path.join(out, "gen", gen)
    args = [tool, "create", "-o", os.path.join(out, "img", name + ".img"),
            "--version", "0x20261206", "--descr", "update " + gen]
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


if __name__ == "__main__":
    main()
