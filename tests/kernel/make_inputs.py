#!/usr/bin/env python3
"""Payloads and images for the installer scenarios in the VM.

Good images come from vexil-image; the broken ones are byte edits of a good
one, as a damaged download, a truncated copy or a forger would make them.

Usage: make_inputs.py OUT_DIR VEXIL_IMAGE
Writes OUT_DIR/gen/<generation>/{kernel,devicetree,rootfs}.bin, OUT_DIR/img/*.img,
the signed ones and their forgeries OUT_DIR/img/signed/*.img, the signing keys OUT_DIR/keys/{release,stranger}[.pub] and the board's trust
store OUT_DIR/trust/release.pub.
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
SIGNATURE_ID = 0x56534947
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


def signed(tool, out):
    """Signed images, and the forgeries a board with a trust store must refuse."""
    keys = os.path.join(out, "keys")
    os.makedirs(keys, exist_ok=True)
    os.makedirs(os.path.join(out, "trust"), exist_ok=True)
    os.makedirs(os.path.join(out, "img", "signed"), exist_ok=True)
    for key in ("release", "stranger"):
        subprocess.run([tool, "keygen", "-o", os.path.join(keys, key)], check=True,
                       stdout=subprocess.DEVNULL)
    shutil.copy(os.path.join(keys, "release.pub"), os.path.join(out, "trust"))
    release = ("--sign", os.path.join(keys, "release"))
    good = create(tool, out, "signed/signed", SLOTS, "new", *release)
    create(tool, out, "signed/signed-next", SLOTS, "next", *release, version="0x20261207")
    create(tool, out, "signed/untrusted", SLOTS, "new", "--sign", os.path.join(keys, "stranger"))
    sig_at, sig_size = blocks(good)[-1]
    assert struct.unpack_from(">I", good, sig_at)[0] == SIGNATURE_ID
    # One devicetree payload byte changed and its block's CRC made to match:
    # only the signature can tell.
    tampered = bytearray(good)
    dt_at, dt_size = blocks(good)[1]
    tampered[dt_at + BLOCK_HEADER + dt_size // 2] ^= 0x01
    struct.pack_into(">I", tampered, dt_at + 8,
                     zlib.crc32(tampered[dt_at + BLOCK_HEADER:dt_at + BLOCK_HEADER + dt_size]))
    write(out, "signed/tampered", tampered)
    # A devicetree block slipped in behind the signature.
    trailing = good + block(3, random.Random("trailing").randbytes(64))
    struct.pack_into(">I", trailing, 20, len(trailing))
    write(out, "signed/trailing", trailing)
    # The signature block cut to half its payload, its CRC and the image's
    # length made to match.
    sigcut = good[:sig_at] + block(SIGNATURE_ID, bytes(good[sig_at + BLOCK_HEADER:
                                                           sig_at + BLOCK_HEADER + sig_size // 2]))
    struct.pack_into(">I", sigcut, 20, len(sigcut))
    write(out, "signed/sigcut", sigcut)


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
