"""The peer updaters' section of bench/RESULTS.md, from what bench/peers/guest.sh measured.

results.txt holds one line a run:
  run CONTENDER ROUND SECONDS PEAK_KIB STATUS STATE [SERVICE_KIB BUS_KIB]
  cut CONTENDER N STATUS WHERE STATE VOLUME:LEB/WRITES
  tmp CONTENDER PEAK_KIB
STATE is "kernel,devicetree,rootfs" of the current set after the run, each new, old or broken.
"""

import os
import shlex
import statistics
import textwrap

# Each contender: its name in the tables, what it does, and whether it is one of the peers.
CONTENDERS = [
    ("hand", "by hand (mtd-utils)",
     "`ubimkvol`, `ubiupdatevol` into `_new` volumes, one `ubirename` (bench/by-hand.sh)", False),
    ("ours", "VexilImageInstaller",
     "streams the image into `_new` volumes, reads the rootfs back, one rename", False),
    ("ours-signed", "VexilImageInstaller, signed",
     "the same image signed, the key in the board's trust store", False),
    ("rauc", "RAUC 1.8",
     "`rauc install` through `rauc service`: checks the whole plain bundle's CMS signature, "
     "writes slot group B, marks it primary in U-Boot's environment", True),
    ("swu-stream", "SWUpdate 2022.12, streamed",
     "`installed-directly` into the `_r` volumes, sha256 checked as it streams, one "
     "`ubiswap` rename", True),
    ("swu-copy", "SWUpdate 2022.12, through TMPDIR",
     "every image copied to TMPDIR with its sha256 checked, then into the `_r` volumes, one "
     "`ubiswap` rename", True),
    ("swu-inplace", "SWUpdate 2022.12, in place",
     "through TMPDIR, then over the current volumes (Debian's single-copy example)", True),
]
NAMES = {key: name for key, name, _, _ in CONTENDERS}
SLOTS = ("kernel", "devicetree", "rootfs")


def config(path):
    values = {}
    with open(path) as f:
        for word in shlex.split(f.read(), comments=True):
            name, _, value = word.partition("=")
            values[name] = value
    return values


def measured(vm_dir):
    runs, cuts, tmp = {}, {}, {}
    with open(os.path.join(vm_dir, "results.txt")) as f:
        for line in f:
            fields = line.split()
            if not fields:
                continue
            if fields[0] == "run":
                key, _round, seconds, rss, status, state = fields[1:7]
                services = [int(x) for x in fields[7:]]
                runs.setdefault(key, []).append(
                    {"seconds": float(seconds), "rss": int(rss), "services": services,
                     "status": int(status), "state": state})
            elif fields[0] == "cut":
                key, n, status, where, state, point = fields[1:7]
                cuts[key] = {"n": n, "status": status, "where": where, "state": state,
                             "point": point}
            elif fields[0] == "tmp":
                tmp[fields[1]] = int(fields[2])
    return runs, cuts, tmp


def best_median(values):
    return f"{min(values):.2f} ({statistics.median(values):.2f})"


def ratios(numerators, denominators):
    """Of the best times, and the median of each round's own ratio."""
    return (min(numerators) / min(denominators),
            statistics.median(a / b for a, b in zip(numerators, denominators)))


def state_text(state):
    if state == "-":
        return "no cut: the install wrote no rootfs"
    parts = dict(zip(SLOTS, state.split(",")))
    kinds = set(parts.values())
    if kinds == {"new"}:
        return "the new set, whole"
    if kinds == {"old"}:
        return "the old set, whole"
    return "; ".join(f"{slot} {parts[slot]}" for slot in SLOTS)


def total_rss(run):
    return run["rss"] + sum(run["services"])


def section(vm_dir, config_path, timing_text, verdicts):
    """The section's lines; appends its aims to verdicts as (aim, measured, met)."""
    cfg = config(config_path)
    runs, cuts, tmp = measured(vm_dir)
    rounds = len(runs.get("hand", []))
    mib = 1 << 20
    lines = ["", "## Peer updaters on simulated NAND", ""]
    lines += prose(
        "The same three payloads, taken from Debian's own packages, installed by the job by "
        "hand, by VexilImageInstaller and by the updaters in Debian 12 that write UBI volumes, "
        f"in {rounds} interleaved rounds in one boot of the VM (nandsim `{timing_text}`). "
        f"Payloads, from `{cfg['KERNEL_PACKAGE']}` (armhf): its zImage "
        f"({int(cfg['KERNEL_BYTES']) / mib:.1f} MiB), `am335x-evm.dtb` "
        f"({int(cfg['DEVICETREE_BYTES']) / 1024:.0f} KiB) and a squashfs (xz) of its drivers "
        f"and sound modules ({int(cfg['ROOTFS_BYTES']) / mib:.1f} MiB) as the rootfs. Every "
        "update is signed except the first VexilImageInstaller row: SWUpdate's "
        "`sw-description` and RAUC's bundle with a test certificate made at run time "
        "(openssl), ours with `vexil-image sign`.",
        "Each updater is set up as its documentation says. SWUpdate 2022.12 (its manual, "
        "Debian's `swupdate-doc`: \"UBI Volume Handler\" with `ubiswap`, \"Streaming "
        "feature\", \"Signed images\"; Debian's `examples/description/single-copy`): "
        "`swupdate -i FILE -k ca.pem -b \"0 1\"`, a CMS-signed `sw-description`, the `ubivol` "
        "handler, a sha256 for every image, `hardware-compatibility` against "
        "`/etc/hwrevision`. RAUC 1.8 (its reference and integration guide, \"System "
        "Configuration File\", \"Interfacing with the Bootloader\"): `ubivol` slots in two "
        "groups (kernel, devicetree, rootfs), `bootloader=uboot` with U-Boot's redundant "
        "environment in two UBI volumes (libubootenv's `fw_setenv`), a plain bundle (its "
        "default), `rauc service` on a D-Bus session bus, `rauc install`.",
        "Boards, each laid back before every run: the current set alone (the job by hand, "
        "VexilImageInstaller, SWUpdate in place), or with a spare set and U-Boot's "
        "environment (RAUC's slot group B, SWUpdate's `_r` volumes), every volume holding the "
        "old generation. Writing into a volume that holds data, UBI first erases its "
        "eraseblocks and waits for that; a new volume gets erased ones. Times: wall time of "
        "the install command (for RAUC the `rauc install` client, the service already "
        "running). Peak RSS: wait4's `ru_maxrss` of the command (the largest of it and the "
        "children it waited for); for RAUC also of `rauc service` and of `dbus-daemon`, each "
        "started for the run, added up. Best of the rounds, median in brackets (qemu TCG).")
    lines.append("")
    hand = [r["seconds"] for r in runs["hand"]]
    rows = []
    for key, name, how, _ in CONTENDERS:
        if key not in runs:
            continue
        rs = runs[key]
        seconds = [r["seconds"] for r in rs]
        bad = [r for r in rs if r["status"] != 0 or r["state"] != "new,new,new"]
        rss = max(r["rss"] for r in rs)
        services = [max(x) for x in zip(*(r["services"] for r in rs))] if rs[0]["services"] else []
        total = max(total_rss(r) for r in rs)
        rss_text = f"{rss}" + "".join(f" + {s}" for s in services)
        if services:
            rss_text += f" = {total}"
        if key in tmp:
            rss_text += f"; TMPDIR {tmp[key]}"
        rows.append([name, how, best_median(seconds),
                     "{:.2f} ({:.2f})".format(*ratios(seconds, hand)), rss_text,
                     "all ok" if not bad else f"{len(bad)} failed"])
    lines += table(["Updater", "what it does", "s, best (median)", "/ by hand, best (median)",
                    "peak RSS KiB (max)", "runs"], rows)
    lines += [""] + prose(
        "Peak RSS with a service: the tool + `rauc service` + `dbus-daemon`. TMPDIR: the most "
        "SWUpdate held in its TMPDIR during the dry run before its power cut (a tmpfs, so "
        "memory as well; sampled every 0.2 s with `du`).")

    if "read-rootfs" in runs:
        ours = [r["seconds"] for r in runs["ours"]]
        read = [r["seconds"] for r in runs["read-rootfs"]]
        limit = [h + r for h, r in zip(hand, read)]
        ratio = ratios(ours, limit)
        lines += [""] + prose(
            "VexilImageInstaller against the job by hand plus one plain `dd` read of the rootfs "
            "payload (what its check before switching reads), each round's read right after "
            f"that round's install: read {best_median(read)} s, by hand plus the read "
            f"{best_median(limit)} s, the installer's time against it {ratio[0]:.2f} "
            f"({ratio[1]:.2f}).")
        verdicts.append(("peers, nandsim: installer at most the job by hand plus one rootfs "
                         "read, best and median", f"{ratio[0]:.2f} ({ratio[1]:.2f})",
                         max(ratio) <= 1.0))

    lines += ["", "Every round as measured, s:", ""]
    keys = [key for key, _, _, _ in CONTENDERS if key in runs]
    lines += table(["Round"] + [NAMES[k] for k in keys],
                   [[n + 1] + [f"{runs[k][n]['seconds']:.2f}" for k in keys]
                    for n in range(rounds)])

    if cuts:
        lines += ["", "### A power cut half-way through the rootfs", ""] + prose(
            "UBI's power-cut emulation (debugfs `tst_emulate_power_cut`, volume-header writes, "
            "as `tests/kernel/guest/lib.sh`'s `powercut_arm`) turns UBI read-only at a chosen "
            "volume-header write, so that write and every later one fail as after a cut; a "
            "fresh attach then shows what the flash holds. The write is found by a dry run of "
            "the same install from the same board with UBI's background thread off: a kprobe on "
            "`ubi_io_write_vid_hdr` lists every volume-header write (one for each LEB written) "
            "by volume and LEB, and the cut takes the write of the middle LEB of the volume "
            "written most, the rootfs. Current set: for RAUC the slot group first in "
            "`BOOT_ORDER` (`fw_printenv`), for the others the volumes named kernel, devicetree "
            "and rootfs. Whole: each volume without update marker or corrupted flag and holding "
            "its payload.") + [""]
        rows = []
        for key, name, _, _ in CONTENDERS:
            if key not in cuts:
                continue
            c = cuts[key]
            vol, _, rest = c["point"].partition(":")
            leb, _, writes = rest.partition("/")
            rows.append([name, f"{c['n']} (volume {vol}, LEB {leb} of {writes})",
                         c["where"], c["status"], state_text(c["state"])])
            if key == "ours":
                verdicts.append(("peers, nandsim: the installer cut half-way through the rootfs "
                                 "leaves the old set whole and current", state_text(c["state"]),
                                 c["state"] == "old,old,old" and c["where"] != "none"))
        lines += table(["Updater", "cut at header write after arming", "where (UBI)",
                        "exit status", "current set after a fresh attach"], rows)

    ours_keys = [k for k in ("ours", "ours-signed") if k in runs]
    peers = [key for key, _, _, peer in CONTENDERS if peer and key in runs]
    if ours_keys and peers:
        for key in ours_keys:
            own = [r["seconds"] for r in runs[key]]
            fastest = min(peers, key=lambda k: min(r["seconds"] for r in runs[k]))
            other = [r["seconds"] for r in runs[fastest]]
            ratio = ratios(own, other)
            verdicts.append((f"peers, nandsim: {NAMES[key]} faster than every peer, best and "
                             f"median (against the fastest, {NAMES[fastest]})",
                             f"{ratio[0]:.2f} ({ratio[1]:.2f})", max(ratio) < 1.0))
        own = max(total_rss(r) for k in ours_keys for r in runs[k])
        lowest = min(peers, key=lambda k: min(total_rss(r) for r in runs[k]))
        least = min(total_rss(r) for r in runs[lowest])
        verdicts.append(("peers, nandsim: VexilImageInstaller's peak RSS below every peer's",
                         f"{own} KiB against {least} KiB ({NAMES[lowest]})", own < least))
    return lines


def prose(*paragraphs):
    lines = []
    for paragraph in paragraphs:
        lines += ([""] if lines else []) + textwrap.wrap(
            paragraph, 80, break_long_words=False, break_on_hyphens=False)
    return lines


def table(header, rows):
    out = ["| " + " | ".join(header) + " |",
           "|" + "|".join("---" if i < 2 else "---:" for i in range(len(header))) + "|"]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return out
