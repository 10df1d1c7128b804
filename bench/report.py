#!/usr/bin/env python3
"""Turn the benchmark outputs into bench/RESULTS.md (also printed).

report.py --verify VERIFY.md [--verify-arm VERIFY.md] [--vm FLASH=VM_DIR]...
          --config CONFIG.sh --nand-timing PARAMS --compiler CXX
          --load-start LOADAVG --started EPOCH [--peers VM_DIR --peers-config CONFIG.sh]
          --out RESULTS.md

VERIFY.md is vexil-bench-verify's table, --verify-arm the ARM build's under
qemu-arm-static. Each VM_DIR holds what bench/install-guest.sh emitted on that
flash (block2mtd, nandsim): results.txt and strace.IMAGE.txt. A flash whose VM
could not run is left out. LOADAVG is /proc/loadavg's first three fields when
the run began, EPOCH its time in seconds since the epoch. --peers: what
bench/peers/guest.sh emitted, with the configuration bench/peers/run.sh gave it
(bench/peers/summary.py writes that section).
"""

import argparse
import datetime
import os
import platform
import re
import shlex
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "peers"))
import summary as peers  # noqa: E402  (bench/peers/summary.py)

ALLOWED_GROWTH_KIB = 64
ALLOWED_TIME_RATIO = 1.10
# On simulated NAND with a real chip's timing, the installer less one plain
# read of the rootfs payload (the check a dynamic volume needs) against the
# job by hand, for the large image; and the small image faster than by hand.
ALLOWED_NAND_RATIO = 1.03
# A signed install with the trust store against the same image unsigned without one.
ALLOWED_SIGNATURE_SHARE = 0.03
# The manifest's steps against the rest of the install.
ALLOWED_MANIFEST_GROWTH = 0.02
# vexil-slots check against plain reads of the volumes it reads.
ALLOWED_CHECK_RATIO = 1.10
CHUNK = 65536
SLOTS = ("kernel", "devicetree", "rootfs")
# Name lookups before the rename that the slots need: each slot's current name, then both
# names of each of its rename entries. The manifest's lookups come on top.
SLOT_LOOKUPS = 3 * len(SLOTS)
VERIFY_ROWS = {
    "parser": "parser + CRC-32 (installer's pieces)",
    "signed": "parser + CRC-32 + signed description and SHA-256 digests (a board with keys)",
    "crc": "Crc32::calculate alone (same pieces)",
    "hashing": "SHA-256 alone (libsodium, same pieces)",
    "sha512": "SHA-512 alone (libsodium, same pieces)",
    "blake2b": "BLAKE2b-256 alone (libsodium, same pieces)",
    "zlib": "zlib crc32 (same pieces)",
}
FLASH_TITLES = {
    "block2mtd": "block2mtd (RAM disk)",
    "nandsim": "simulated NAND with a real chip's timing",
}


def config(path):
    values = {}
    with open(path) as f:
        for word in shlex.split(f.read()):
            name, _, value = word.partition("=")
            values[name] = value
    return values


def machine(compiler, load_start, started):
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    cxx = subprocess.run([compiler, "--version"], capture_output=True, text=True).stdout
    return [
        ("CPU", cpu),
        ("Cores", str(os.cpu_count())),
        ("Kernel", platform.release()),
        ("Compiler", cxx.splitlines()[0] if cxx else compiler),
        ("Date", datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")),
        ("Load average at the start (1, 5, 15 min)", load_start),
        ("Load average at the end", " ".join(f"{x:.2f}" for x in os.getloadavg())),
        ("The whole run", f"{(datetime.datetime.now().timestamp() - started) / 60:.0f} min"),
    ]


def shared(load_start):
    """Whether other work kept the CPUs busy while the run began or ended."""
    return max(float(x) for x in load_start.split() + [str(os.getloadavg()[0])]) > 1.0


def runs(vm_dir):
    """{(label, image): [(seconds, rss_kib, status)]} from results.txt."""
    table = {}
    with open(os.path.join(vm_dir, "results.txt")) as f:
        for line in f:
            fields = line.split()
            if fields and fields[0] == "run":
                label, image, _round, elapsed, rss, status = fields[1:7]
                table.setdefault((label, image), []).append(
                    (float(elapsed), int(rss), int(status)))
    return table


CALL = re.compile(r"^(\d+)\s+([\d.]+) (\w+)\((.*)\)\s+= (-?\d+|\?)")
VOLUME_NODE = re.compile(r"/dev/ubi\d+_\d+")
UBI_CLASS_DIRECTORY = re.compile(r"/sys/class/ubi/ubi\d+")


def trace(path):
    """System calls of one traced install, by what they touched, and the phases after the
    slots' writes: the check before switching (from the first sysfs read to the manifest),
    the manifest's own steps (from the lookup of manifest_new to the end of its check), the
    name lookups before the rename, and the rename."""
    fds = {}
    volume_writes = {}
    manifest_node = None
    sysfs_opens = sysfs_reads = sysfs_listings = 0
    last_slot_write = check_start = manifest_start = switch_start = rename_at = None
    last_listing = manifest_data_bytes = None
    switch_lookups = 0
    first = last = None
    with open(path) as f:
        for line in f:
            m = CALL.match(line)
            if not m:
                continue
            stamp, name, args, result = float(m.group(2)), m.group(3), m.group(4), m.group(5)
            first = stamp if first is None else first
            last = stamp
            fd = args.split(",", 1)[0]
            if name in ("openat", "open"):
                path_arg = re.search(r'"([^"]*)"', args).group(1)
                if result.isdigit():
                    fds[result] = path_arg
                if path_arg.startswith("/sys/"):
                    sysfs_opens += 1
                if (check_start is None and last_slot_write is not None
                        and path_arg.endswith("/upd_marker")):
                    check_start = stamp
                if UBI_CLASS_DIRECTORY.fullmatch(path_arg):
                    last_listing = stamp
                    if manifest_data_bytes is not None and rename_at is None:
                        switch_start = switch_start or stamp
                        switch_lookups += 1
                if (manifest_node and path_arg.endswith("/data_bytes")
                        and f"/{os.path.basename(manifest_node)}/" in path_arg):
                    manifest_data_bytes = stamp
            elif name == "read" and fds.get(fd, "").startswith("/sys/"):
                sysfs_reads += 1
            elif name == "getdents64" and fds.get(fd, "").startswith("/sys/"):
                sysfs_listings += 1
            elif name == "write" and VOLUME_NODE.fullmatch(fds.get(fd, "")):
                volume_writes.setdefault(fds[fd], []).append(int(args.rsplit(",", 1)[1]))
                if fds[fd] != manifest_node:
                    last_slot_write = stamp
            elif name == "ioctl" and "UBI_IOCMKVOL" in args and 'name="manifest_new"' in args:
                # The lookup of its name came just before.
                manifest_start = last_listing
                manifest_node = "/dev/ubi0_" + re.search(r"=> \[(\d+)\]", args).group(1)
            elif name == "ioctl" and "UBI_IOCRNVOL" in args:
                rename_at = stamp
            elif name == "close" and fd in fds:
                del fds[fd]
    manifest = None
    if manifest_start and switch_start and rename_at and switch_lookups:
        # The lookups before the rename cost about alike; the manifest's are those beyond
        # the slots'.
        lookups = (rename_at - switch_start) * max(switch_lookups - SLOT_LOOKUPS, 0) / switch_lookups
        manifest = switch_start - manifest_start + lookups
    return {
        "volume_writes": {node: w for node, w in volume_writes.items() if node != manifest_node},
        "manifest_writes": volume_writes.get(manifest_node, []),
        "sysfs_opens": sysfs_opens,
        "sysfs_reads": sysfs_reads,
        "sysfs_listings": sysfs_listings,
        "check": (manifest_start - check_start) if check_start and manifest_start else None,
        "manifest": manifest,
        "total": (last - first) if first is not None else None,
    }


def table(header, rows):
    out = ["| " + " | ".join(header) + " |",
           "|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|"]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return out


def best_median(values):
    return f"{min(values):.2f} ({statistics.median(values):.2f})"


def ratios(numerators, denominators):
    """The ratio of the best times, and the median of each round's own ratio: a round's runs
    follow each other, so a busy neighbour from one round to the next drops out."""
    return (min(numerators) / min(denominators),
            statistics.median(a / b for a, b in zip(numerators, denominators)))


def ratio_text(pair):
    return f"{pair[0]:.2f} ({pair[1]:.2f})"


def seconds_of(measured, label, image):
    return [r[0] for r in measured[(label, image)]]


def failed(measured, labels, image):
    return [r for k in labels for r in measured.get((k, image), []) if r[2] != 0]


def share_text(share, best):
    return f"{share * 100:.1f}% (~{share * best:.3f} s)" if share is not None else "n/a"


def install_times(flash, vm_dir, cfg, images, verdicts):
    """The install-time section of one flash; returns it, its traces and its runs."""
    measured = runs(vm_dir)
    rounds = cfg["ROUNDS"]
    lines = ["", f"## Install time on {FLASH_TITLES.get(flash, flash)}", ""]
    if flash == "nandsim":
        lines += [f"nandsim `{cfg['NAND_TIMING']}`: a 2 KiB page read in 25 us plus",
                  "51 us on the bus, programmed in 250 us plus 51 us, a 128 KiB eraseblock",
                  "erased in 2 ms.", ""]
    lines += ["Same boot, same images; every run starts from the same copy of the flash",
              "holding an older generation (without a manifest). The installer (check before",
              "switching included) against the same job by hand: `ubimkvol` and",
              "`ubiupdatevol` for the three volumes from payload files and for a manifest",
              "volume from a file of a manifest's size, then one `ubirename`. After each",
              "install by the installer, one plain `dd` read of each new volume's payload.",
              "Best of "
              f"{rounds} interleaved rounds, median in brackets (qemu TCG).", ""]
    rows, read_rows, traces = [], [], {}
    for i in images:
        inst = seconds_of(measured, "installer", i)
        hand = seconds_of(measured, "by-hand", i)
        reads = {slot: seconds_of(measured, f"read-{slot}", i) for slot in SLOTS}
        bad = failed(measured, ["installer", "by-hand"] + [f"read-{slot}" for slot in SLOTS], i)
        t = trace(os.path.join(vm_dir, f"strace.{i}.txt"))
        traces[i] = t
        check = t["check"] / t["total"] if t["check"] and t["total"] else None
        manifest = t["manifest"] / t["total"] if t["manifest"] and t["total"] else None
        ratio = ratios(inst, hand)
        rows.append([i, best_median(inst), best_median(hand), ratio_text(ratio),
                     share_text(check, min(inst)), share_text(manifest, min(inst)),
                     "all ok" if not bad else f"{len(bad)} failed"])
        # Each round's read follows that round's install.
        less_rootfs = [a - b for a, b in zip(inst, reads["rootfs"])]
        less = ratios(less_rootfs, hand)
        read_rows.append([i] + [best_median(reads[slot]) for slot in SLOTS] +
                         [best_median([sum(x) for x in zip(*reads.values())]),
                          best_median([a - b for a, b in zip(inst, hand)]),
                          best_median(less_rootfs), ratio_text(less)])
        if flash == "nandsim":
            if i == "large":
                verdicts.append((f"{flash}: installer less one rootfs read within {ALLOWED_NAND_RATIO}"
                                 f" of by hand ({i}), best and median", ratio_text(less),
                                 max(less) <= ALLOWED_NAND_RATIO and not bad))
            else:
                verdicts.append((f"{flash}: installer faster than by hand ({i}), best and median",
                                 ratio_text(ratio), max(ratio) < 1.0 and not bad))
        else:
            verdicts.append((f"{flash}: install time within {ALLOWED_TIME_RATIO} of by hand ({i})",
                             f"{ratio[0]:.2f}", ratio[0] <= ALLOWED_TIME_RATIO and not bad))
        if manifest is not None:
            growth = manifest / (1 - manifest)
            verdicts.append((f"{flash}: install with the manifest under "
                             f"{ALLOWED_MANIFEST_GROWTH * 100:.0f}% more than without ({i})",
                             f"{growth * 100:.1f}% more", growth < ALLOWED_MANIFEST_GROWTH))
    lines += table(["Image", "installer s", "by hand s", "ratio of best (median of rounds)",
                    "check before switching", "manifest", "runs"], rows)
    lines += ["", "The shares of the check and of the manifest are taken from one traced install",
              "(strace -ttt) against the whole traced run; the seconds apply that share to the",
              "best untraced run. The check: from the first sysfs read after the last slot",
              "write to the manifest. The manifest: from the lookup of `manifest_new` through",
              "its creation, update and check, plus its part of the name lookups before the",
              "rename (those beyond the slots' nine; they cost about alike). Tracing slows",
              "each system call by about the same, so the many small sysfs reads of the",
              "manifest's steps weigh more traced than untraced: its share is an upper bound.",
              "", "What the installer's time is made of: the job by hand does the writes; a",
              "plain read of each payload is what reading it back costs. The installer reads",
              "back only the dynamic rootfs; kernel and devicetree it leaves to the kernel's",
              "own check at the end of their update (`upd_marker`, `corrupted`, data size).",
              "\"installer less rootfs read\" is thus the installer without its check's reading.",
              "Ratios: of the best times, and in brackets the median of each round's own ratio.",
              ""]
    lines += table(["Image", "read kernel s", "read devicetree s", "read rootfs s", "all three s",
                    "installer less by hand s", "installer less rootfs read s",
                    "that / by hand, best (median of rounds)"], read_rows)
    lines += ["", "Every round as measured, in the order run:", ""]
    raw = []
    for n in range(len(measured[("installer", images[0])])):
        for i in images:
            inst, hand = measured[("installer", i)][n][0], measured[("by-hand", i)][n][0]
            reads = [measured[(f"read-{slot}", i)][n][0] for slot in SLOTS]
            raw.append([n + 1, i, f"{inst:.2f}", f"{hand:.2f}"] + [f"{r:.2f}" for r in reads] +
                       [f"{inst - reads[2]:.2f}", f"{(inst - reads[2]) / hand:.2f}"])
    lines += table(["Round", "Image", "installer s", "by hand s", "read kernel s",
                    "read devicetree s", "read rootfs s", "installer less rootfs read s",
                    "that / by hand"], raw)
    return lines, traces, measured


def signed_installs(flash, measured, image, hashing_ms, verdicts):
    """Signed with the trust store against the same image unsigned without one."""
    unsigned = seconds_of(measured, "installer", image)
    signed = seconds_of(measured, "signed", image)
    bad = failed(measured, ["installer", "signed"], image)
    ratio = ratios(signed, unsigned)
    share = tuple(1 - 1 / r for r in ratio)
    lines = ["", f"### Signed install on {flash}", "",
             f"The {image} image signed, installed with the trust store in place (one trusted",
             "key), against the same image unsigned without a trust store, in the same",
             "rounds. The signature's share of the install: 1 - unsigned / signed. qemu's",
             "TCG runs the guest's CPU work many times slower than the machine itself, and",
             "signature checking is CPU work: the hashing of the whole image. With the",
             "hashing at this machine's own speed (the verification table) added to the best",
             "unsigned install, the share would be about "
             f"{hashing_ms / (hashing_ms + 1e3 * min(unsigned)) * 100:.1f}%.", ""]
    lines += table(["Image", "unsigned s", "signed s", "signed / unsigned, best (median)",
                    "signature's share, best (median)", "runs"],
                   [[image, best_median(unsigned), best_median(signed), ratio_text(ratio),
                     f"{share[0] * 100:.1f}% ({share[1] * 100:.1f}%)",
                     "all ok" if not bad else f"{len(bad)} failed"]])
    lines += ["", "Every round, unsigned and signed s: " +
              "; ".join(f"{a:.2f}, {b:.2f}" for a, b in zip(unsigned, signed)) + "."]
    verdicts.append((f"{flash}: signature checking at most {ALLOWED_SIGNATURE_SHARE * 100:.0f}% "
                     "of install time, best and median",
                     f"{share[0] * 100:.1f}% ({share[1] * 100:.1f}%)",
                     max(share) <= ALLOWED_SIGNATURE_SHARE and not bad))
    return lines


def generations(flash, measured, image, verdicts):
    """vexil-slots check and rollback on a board holding two generations of the image."""
    check = seconds_of(measured, "slots-check", image)
    rollback = seconds_of(measured, "slots-rollback", image)
    names = [slot + suffix for suffix in ("", "_prev") for slot in SLOTS + ("manifest",)]
    reads = [[r[0] for r in measured[(f"slots-read-{name}", image)]] for name in names]
    all_reads = [sum(x) for x in zip(*reads)]
    prev_reads = [sum(x) for x in zip(*reads[len(names) // 2:])]
    bad = failed(measured, ["slots-check", "slots-rollback"] +
                 [f"slots-read-{name}" for name in names], image)
    ratio = ratios(check, all_reads)
    lines = ["", f"### vexil-slots on {flash}", "",
             f"A board holding two generations of the {image} image, each with its manifest",
             "(installed by the installer, copied once, laid back every round). `check` reads",
             "every volume of both generations back; beside it one `dd` read of each volume",
             "it reads, as far as it reads it (static volumes whole, rootfs to its block's",
             "size, both manifests), summed. `rollback` checks the previous generation the",
             "same way and swaps the names; after it, the reads of the previous generation",
             "taken off leave what the rest costs.", ""]
    lines += table(["Run", "s, best (median)", "ratio, best (median)", "runs"], [
        ["vexil-slots check", best_median(check), ratio_text(ratio) + " of the reads",
         "all ok" if not bad else f"{len(bad)} failed"],
        ["dd of the same volumes (sum)", best_median(all_reads), "", ""],
        ["vexil-slots rollback", best_median(rollback), "", ""],
        ["rollback less the reads of the previous generation",
         best_median([a - b for a, b in zip(rollback, prev_reads)]), "", ""]])
    lines += ["", "Every round as measured:", ""]
    lines += table(["Round", "check s", "dd of the same volumes s", "check / dd", "rollback s"],
                   [[n + 1, f"{c:.2f}", f"{d:.2f}", f"{c / d:.2f}", f"{r:.2f}"]
                    for n, (c, d, r) in enumerate(zip(check, all_reads, rollback))])
    verdicts.append((f"{flash}: vexil-slots check within {ALLOWED_CHECK_RATIO} of dd reads of the "
                     "same volumes, best and median", ratio_text(ratio),
                     max(ratio) <= ALLOWED_CHECK_RATIO and not bad))
    return lines


def verify_table(path):
    """vexil-bench-verify's table, and its milliseconds by row name."""
    with open(path) as f:
        rows = f.read().strip().splitlines()
    ms = {cells[1].strip(): float(cells[2]) for cells in (r.split("|") for r in rows[2:])}
    return rows, ms


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--verify", required=True)
    ap.add_argument("--verify-arm")
    ap.add_argument("--vm", action="append", default=[], metavar="FLASH=VM_DIR")
    ap.add_argument("--config", required=True)
    ap.add_argument("--nand-timing", default="")
    ap.add_argument("--compiler", required=True)
    ap.add_argument("--load-start", required=True)
    ap.add_argument("--started", type=float, required=True)
    ap.add_argument("--peers", metavar="VM_DIR", help="bench/peers/guest.sh's output")
    ap.add_argument("--peers-config", metavar="CONFIG.sh")
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    cfg = config(args.config)
    cfg["NAND_TIMING"] = args.nand_timing
    images = cfg["IMAGES"].split()
    image_bytes = {i: int(cfg[f"{i}_BYTES"]) for i in images}
    blocks = {i: [int(cfg[f"{i}_{b}"]) for b in ("KERNEL", "DEVICETREE", "ROOTFS")]
              for i in images}
    vms = [vm.split("=", 1) for vm in args.vm]
    vms = [(flash, d) for flash, d in vms if os.path.exists(os.path.join(d, "results.txt"))]
    verdicts = []

    lines = ["# Benchmark results", "", "Written by `scripts/bench.sh`.", ""]
    lines += table(["Machine", ""], machine(args.compiler, args.load_start, args.started))
    lines += ["", ("The machine was shared: other work kept its CPUs busy during this run (a load"
                   " average above 1)." if shared(args.load_start) else
                   "The machine was quiet when this run began and ended."),
              "Every comparison runs its contenders in interleaved rounds, so that a busy",
              "moment hits each of them alike: the ratios hold better than the seconds."]

    lines += ["", "## Verification speed", "",
              "The image parser checks every block's CRC-32 while it is fed a signed image the",
              "way the installer feeds it (pieces of `m_bytesNeeded`, payload pieces capped at",
              "65536 bytes); with a trust store it also verifies the signed description first",
              "and each payload's SHA-256 against it, as the installer does. CRC-32, the three",
              "candidate digests of libsodium and zlib's `crc32` get the same bytes in the same",
              "pieces, `sha256sum` the same bytes from a file in the page cache.", ""]
    verify, ms = verify_table(args.verify)
    lines += verify
    builds = [("this machine", ms)]
    if args.verify_arm:
        arm, arm_ms = verify_table(args.verify_arm)
        builds.append(("ARM build under qemu-arm-static", arm_ms))
        lines += ["", "The ARM build (static, `cmake/arm-linux-gnueabihf.cmake`) under",
                  "qemu-arm-static, user-mode emulation on this machine:", ""]
        lines += arm
    lines += ["", "The digests against CRC-32, in each build (time / CRC-32's time); the",
              "description carries SHA-256, the fastest of the three on the boards' ARM:", ""]
    rows = []
    for build, build_ms in builds:
        crc = build_ms[VERIFY_ROWS['crc']]
        rows.append([build, f"{build_ms[VERIFY_ROWS['parser']]:.1f}",
                     f"{build_ms[VERIFY_ROWS['signed']]:.1f}", f"{crc:.1f}"] +
                    [f"{build_ms[VERIFY_ROWS[d]] / crc:.1f}" for d in ("hashing", "sha512", "blake2b")] +
                    [f"{build_ms[VERIFY_ROWS['signed']] / build_ms[VERIFY_ROWS['parser']]:.1f}"])
    lines += table(["Build", "parser + CRC-32 ms", "with the signed description ms",
                    "CRC-32 alone ms", "SHA-256 / CRC-32", "SHA-512 / CRC-32",
                    "BLAKE2b / CRC-32", "with / without the description"], rows)
    ratio = ms[VERIFY_ROWS["parser"]] / ms[VERIFY_ROWS["zlib"]]
    verdicts.append(("Verification at least as fast as zlib's crc32",
                     f"parser takes {ratio:.2f}x zlib's time", ratio <= 1.0))

    if not vms:
        lines += ["", "## Real kernel", "",
                  "Skipped: the VM could not be started (see tests/kernel/README.md)."]
    else:
        signed_image, slots_image = cfg["SIGNED"], cfg["SLOTS_IMAGE"]
        # The signed image's hashing at this machine's own speed, by its share of the 64 MiB.
        hashing_ms = (ms[VERIFY_ROWS["hashing"]] * image_bytes[signed_image] / (64 << 20))
        sections, all_traces, time_verdicts = [], [], []
        rss = {label: [] for label in images + ["signed"]}
        for flash, vm_dir in vms:
            section, traces, measured = install_times(flash, vm_dir, cfg, images, time_verdicts)
            section += signed_installs(flash, measured, signed_image, hashing_ms, time_verdicts)
            section += generations(flash, measured, slots_image, time_verdicts)
            sections += section
            all_traces.append((flash, traces))
            for i in images:
                rss[i] += [r[1] for r in measured[("installer", i)]]
            rss["signed"] += [r[1] for r in measured[("signed", signed_image)]]
        lines += ["", "## Memory", "",
                  "Peak RSS of the production `VexilImageInstaller` (static) installing onto",
                  "real Linux UBI in the VM (wait4's `ru_maxrss`, every round, every flash).", ""]
        rows = [[f"{i} ({image_bytes[i] / 2**20:.0f} MiB image)", max(rss[i]), min(rss[i])]
                for i in images]
        rows.append([f"{signed_image}, signed, with the trust store", max(rss["signed"]),
                     min(rss["signed"])])
        lines += table(["Install", "peak RSS KiB (max)", "(min)"], rows)
        unsigned_rss = [r for i in images for r in rss[i]]
        growth = max(unsigned_rss) - min(unsigned_rss)
        signed_growth = max(rss["signed"]) - max(rss[signed_image])
        lines += ["", f"Spread over every unsigned run of both images: {growth} KiB. The signed "
                  f"install's peak against the unsigned {signed_image} image's: "
                  f"{signed_growth:+d} KiB."]
        verdicts.append((f"Peak RSS the same within {ALLOWED_GROWTH_KIB} KiB",
                         f"{growth} KiB", growth <= ALLOWED_GROWTH_KIB))
        verdicts.append((f"Signed install's peak RSS within {ALLOWED_GROWTH_KIB} KiB of the "
                         "unsigned", f"{signed_growth:+d} KiB",
                         signed_growth <= ALLOWED_GROWTH_KIB))
        verdicts += time_verdicts
        lines += sections

        lines += ["", "## System calls", "",
                  "Counted with strace in the VM on one install per image and flash.", ""]
        rows = []
        for flash, traces in all_traces:
            for i in images:
                t = traces[i]
                writes = sorted(t["volume_writes"].values(), key=sum)
                per_block = []
                for size in sorted(blocks[i]):
                    match = next((w for w in writes if sum(w) == size), None)
                    expected = -(-size // CHUNK)
                    per_block.append(f"{size} B: {len(match) if match else '?'} (expect {expected})")
                all_full = all(len(w) == -(-sum(w) // CHUNK) for w in writes) and len(writes) == 3
                verdicts.append((f"One write per 65536 bytes ({flash}, {i})",
                                 "yes" if all_full else "no", all_full))
                manifest = t["manifest_writes"]
                rows.append([f"{i} ({flash})", "; ".join(per_block),
                             f"{sum(manifest)} B: {len(manifest)}", t["sysfs_opens"],
                             t["sysfs_reads"], t["sysfs_listings"]])
        lines += table(["Image", "writes per block", "manifest writes", "sysfs opens",
                        "sysfs reads", "sysfs directory reads"], rows)

    if args.peers and os.path.exists(os.path.join(args.peers, "results.txt")):
        lines += peers.section(args.peers, args.peers_config, args.nand_timing, verdicts)
    elif args.peers:
        lines += ["", "## Peer updaters on simulated NAND", "",
                  "Skipped: the VM could not be started or did not finish (see bench/README.md)."]

    lines += ["", "## Aims", ""]
    lines += table(["Aim", "measured", "met"],
                   [[a, m, "yes" if ok else "**no**"] for a, m, ok in verdicts])
    text = "\n".join(lines) + "\n"
    with open(args.out, "w") as f:
        f.write(text)
    print(text, end="")


if __name__ == "__main__":
    main()
