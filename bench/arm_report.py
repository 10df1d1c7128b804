#!/usr/bin/env python3
"""The ARM install benchmark's section of RESULTS.md, from arm-guest.sh's results.

    arm_report.py RESULTS_TXT CONFIG_SH NAND_TIMING KERNEL_VERSION

Lines "run LABEL IMAGE ROUND SECONDS MAX_RSS_KIB STATUS"; the section goes to
stdout. Exit status 1 when a run failed.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from report import best_median, config, ratio_text, ratios, table  # noqa: E402


def main():
    results, config_path, nand_timing, kver = sys.argv[1:5]
    cfg = config(config_path)
    measured, bad = {}, []
    with open(results) as f:
        for line in f:
            fields = line.split()
            if len(fields) != 7 or fields[0] != "run":
                continue
            label, image, _, seconds, rss, status = fields[1:]
            if status != "0":
                bad.append(line.strip())
                continue
            measured.setdefault((label, image), []).append((float(seconds), int(rss)))

    def column(label, image, i):
        return [r[i] for r in measured.get((label, image), [])]

    lines = ["", "## Install time on the boards' architecture (ARM)", "",
             f"The board's static ARM programs (`cmake/arm-linux-gnueabihf.cmake`) on Debian's",
             f"`{kver}` kernel under `qemu-system-arm -M virt -cpu cortex-a15` (TCG), on",
             f"nandsim with the boards' partitions and a real chip's timing (`{nand_timing}`).",
             "Every run starts from the same copy of the flash holding an older generation.",
             "The installer (check before switching included) against the same job by hand",
             "with mtd-utils (`by-hand.sh`), and the signed image installed with the trust",
             "store in place against the same image unsigned without one. Wall time and",
             "peak RSS from `wait4` (`peak`). Best of "
             f"{cfg['ROUNDS']} interleaved rounds, median in brackets; ratios of the best",
             "times, and in brackets the median of each round's own ratio.", ""]
    rows = []
    for image in cfg["IMAGES"].split():
        inst, hand = column("installer", image, 0), column("by-hand", image, 0)
        if not inst or not hand:
            continue
        rows.append([image, best_median(inst), best_median(hand), ratio_text(ratios(inst, hand)),
                     max(column("installer", image, 1)), max(column("by-hand", image, 1))])
    lines += table(["Image", "installer s", "by hand s", "installer / by hand",
                    "installer peak RSS KiB", "by hand peak RSS KiB"], rows)
    image = cfg["SIGNED"]
    unsigned, signed = column("installer", image, 0), column("signed", image, 0)
    if unsigned and signed:
        ratio = ratios(signed, unsigned)
        share = tuple(1 - 1 / r for r in ratio)
        lines += ["", "The signature's share of the install: 1 - unsigned / signed.", ""]
        lines += table(["Image", "unsigned s", "signed s", "signed / unsigned",
                        "signature's share", "signed peak RSS KiB", "unsigned peak RSS KiB"],
                       [[image, best_median(unsigned), best_median(signed), ratio_text(ratio),
                         f"{share[0] * 100:.1f}% ({share[1] * 100:.1f}%)",
                         max(column("signed", image, 1)), max(column("installer", image, 1))]])
    if bad:
        lines += ["", f"{len(bad)} run(s) failed and are left out: " + "; ".join(bad)]
    print("\n".join(lines))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
