#!/usr/bin/env python3
"""Boot a Debian kernel under qemu with real MTD + UBI and run a guest script.

The flash is block2mtd over RAM disks or the NAND simulator (nandsim, with
the partitions laid by a module built from tests/kernel/nand; --nandsim
passes fault and timing parameters). The initramfs holds busybox, mtd-utils
(with their shared libraries), the MTD/UBI modules, the /init prelude
(tests/kernel/guest), caller files and the guest script. Files the guest sends
with `emit NAME FILE` land in --out.

--arch armhf boots the boards' architecture instead: Debian's armmp kernel on
qemu's ARM virt board, nandsim only (armmp has no block2mtd), with busybox and
mtd-utils from Debian's armhf packages (--userland, which fetch-kernel.sh
unpacks); the libraries of foreign programs are looked up there.

Exit status: the guest script's, 77 when no kernel/qemu can be had (skip),
124 on timeout, 125 when the VM died without reporting a status.
"""

import argparse
import base64
import gzip
import hashlib
import os
import re
import selectors
import shutil
import stat
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
FETCH = os.path.join(REPO, "scripts", "kernel", "fetch-kernel.sh")

MODULES_AMD64 = {
    "block2mtd": [
        "kernel/drivers/mtd/mtd.ko",
        "kernel/drivers/block/brd.ko",
        "kernel/drivers/mtd/devices/block2mtd.ko",
        "kernel/drivers/mtd/ubi/ubi.ko",
    ],
    "nandsim": [
        "kernel/drivers/mtd/mtd.ko",
        "kernel/lib/bch.ko",
        "kernel/drivers/mtd/nand/nandcore.ko",
        "kernel/drivers/mtd/nand/raw/nand.ko",
        "kernel/drivers/mtd/nand/raw/nandsim.ko",
        "kernel/drivers/mtd/ubi/ubi.ko",
    ],
}
# What each architecture boots on: qemu, its machine, the serial console, the
# modules each flash needs (the rest is built in), how its programs run on the
# host (busybox lists its applets) and, for a foreign one, its library directory.
ARCHES = {
    "amd64": {
        "qemu": ["qemu-system-x86_64", "-accel", "tcg", "-cpu", "max"],
        "console": "ttyS0",
        "modules": MODULES_AMD64,
        "emulator": [],
    },
    "armhf": {
        "qemu": ["qemu-system-arm", "-accel", "tcg", "-M", "virt", "-cpu", "cortex-a15"],
        "console": "ttyAMA0",
        "modules": {
            "nandsim": [
                "kernel/drivers/mtd/nand/raw/nandsim.ko",
                "kernel/drivers/mtd/ubi/ubi.ko",
            ],
        },
        "emulator": ["qemu-arm-static"],
        "multiarch": "arm-linux-gnueabihf",
    },
}
MTD_TOOLS = [
    "ubiformat", "ubiattach", "ubidetach", "ubimkvol", "ubirmvol", "ubirsvol",
    "ubirename", "ubiupdatevol", "ubinfo", "ubinize", "ubicrc32", "ubiscan",
    "mtdinfo", "flash_erase", "nanddump", "nandwrite", "mtd_debug",
]
TOOL_DIRS = ["/usr/sbin", "/sbin", "/usr/bin", "/bin"]
MARK = "@@VEXIL"
SKIP, TIMEOUT, NOSTATUS = 77, 124, 125


class Cpio:
    """Writer for the newc format; no root needed for device nodes."""

    def __init__(self):
        self.buf = bytearray()
        self.ino = 1
        self.seen = set()

    def _entry(self, name, mode, data=b"", rdev=(0, 0)):
        name = name.lstrip("/")
        if name in self.seen:
            return
        self.seen.add(name)
        nameb = name.encode() + b"\0"
        fields = [self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(nameb), 0]
        self.ino += 1
        self.buf += b"070701" + b"".join(b"%08X" % f for f in fields) + nameb
        self.buf += b"\0" * (-len(self.buf) % 4) + data
        self.buf += b"\0" * (-len(self.buf) % 4)

    def dirs(self, path):
        parts = path.strip("/").split("/")[:-1]
        for i in range(1, len(parts) + 1):
            self._entry("/".join(parts[:i]), stat.S_IFDIR | 0o755)

    def dir(self, path):
        self.dirs(path)
        self._entry(path, stat.S_IFDIR | 0o755)

    def file(self, path, data, mode=0o755):
        self.dirs(path)
        self._entry(path, stat.S_IFREG | mode, data)

    def symlink(self, path, target):
        self.dirs(path)
        self._entry(path, stat.S_IFLNK | 0o777, target.encode())

    def chardev(self, path, major, minor):
        self.dirs(path)
        self._entry(path, stat.S_IFCHR | 0o600, rdev=(major, minor))

    def finish(self):
        self._entry("TRAILER!!!", 0)
        return bytes(self.buf)


def which(tool, root="/"):
    """A program's path in the host's file system or in ROOT."""
    for d in TOOL_DIRS:
        p = os.path.join(root, d.lstrip("/"), tool)
        if os.access(p, os.X_OK):
            return p
    return None


def shared_libs(path):
    """Libraries (and the loader) a dynamic ELF needs, per ldd: {guest path: host path}."""
    r = subprocess.run(["ldd", path], capture_output=True, text=True)
    if r.returncode != 0:
        return {}  # static
    libs = {}
    for line in r.stdout.splitlines():
        m = re.search(r"=>\s*(/\S+)", line) or re.match(r"\s*(/\S+)", line)
        if m:
            libs[m.group(1)] = m.group(1)
    return libs


def foreign_libs(path, root, multiarch):
    """What shared_libs gives, for a program of another architecture whose
    libraries are under ROOT: ldd cannot run its loader, so the ELF's own
    interpreter and DT_NEEDED entries are followed, as the loader would."""
    with open(path, "rb") as f:
        if f.read(4) != b"\x7fELF":
            return {}  # a script
    libs, todo = {}, [path]
    lib_dirs = [f"lib/{multiarch}", f"usr/lib/{multiarch}", "lib", "usr/lib"]
    while todo:
        elf = todo.pop()
        r = subprocess.run(["readelf", "-W", "-l", "-d", elf], capture_output=True, text=True)
        if r.returncode != 0:
            sys.exit(f"vmrun: readelf {elf} failed: {r.stderr.strip()}")
        m = re.search(r"Requesting program interpreter: (/\S+)\]", r.stdout)
        wanted = [m.group(1)] if m else []
        for name in re.findall(r"\(NEEDED\)\s+Shared library: \[(\S+)\]", r.stdout):
            guest = next((f"/{d}/{name}" for d in lib_dirs
                          if os.path.exists(os.path.join(root, d, name))), None)
            if guest is None:
                sys.exit(f"vmrun: {name}, needed by {elf}, is not in {root}")
            wanted.append(guest)
        for guest in wanted:
            if guest not in libs:
                libs[guest] = os.path.join(root, guest.lstrip("/"))
                todo.append(libs[guest])
    return libs


def read(path):
    with open(path, "rb") as f:
        return f.read()


def fetch_kernel(arch):
    r = subprocess.run([FETCH, "--arch", arch], stdout=subprocess.PIPE, text=True)
    if r.returncode != 0:
        sys.exit(SKIP if r.returncode == SKIP else r.returncode)
    kv = dict(line.split("=", 1) for line in r.stdout.splitlines() if "=" in line)
    return kv.get("VMLINUX") or kv["VMLINUZ"], kv["MODULES"], kv.get("USERLAND")


def build_initramfs(args, moddir, userland):
    c = Cpio()
    for d in ["bin", "sbin", "usr/bin", "usr/sbin", "lib", "lib64", "proc", "sys",
              "dev", "tmp", "root", "etc", "vexil", "lib/modules"]:
        c.dir(d)
    # The kernel opens /dev/console before /init runs, ahead of devtmpfs.
    c.chardev("dev/console", 5, 1)

    arch = ARCHES[args.arch]
    root = userland or "/"
    libs_of = (lambda p: foreign_libs(p, userland, arch["multiarch"])) if userland else shared_libs
    libs = {}
    for tool in MTD_TOOLS:
        p = which(tool, root)
        if not p:
            sys.exit(f"vmrun: {tool} not found in {root} (mtd-utils installed?)")
        c.file("usr/sbin/" + tool, read(p))
        libs.update(libs_of(p))

    bb = which("busybox", root)
    if not bb:
        sys.exit(f"vmrun: busybox not found in {root}")
    c.file("bin/busybox", read(bb))
    applets = subprocess.run(arch["emulator"] + [bb, "--list"], capture_output=True,
                             text=True).stdout.split()
    if "sh" not in applets:
        sys.exit(f"vmrun: {bb} --list gave no shell")
    for a in applets:
        # Real tools win: busybox has its own ubirename, for one.
        if a != "busybox" and a not in MTD_TOOLS:
            c.symlink("bin/" + a, "busybox")

    for m in arch["modules"][args.flash]:
        c.file("lib/modules/" + os.path.basename(m), read(os.path.join(moddir, m)), 0o644)
    if args.flash == "nandsim":
        c.file("lib/modules/nand_parts.ko", read(args.nand_module), 0o644)

    c.file("init", read(os.path.join(HERE, "guest", "init")))
    c.file("vexil/lib.sh", read(os.path.join(HERE, "guest", "lib.sh")), 0o644)
    c.file("vexil/config.sh",
           f"VEXIL_FLASH={args.flash}\nVEXIL_NANDSIM='{args.nandsim}'\n"
           f"VEXIL_NAND_MB={args.nand_mb}\nVEXIL_PEB_KB={args.peb_kb}\n".encode(), 0o644)
    c.file("vexil/test.sh", read(args.script))

    for item in args.file:
        host, sep, guest = item.partition(":")
        if not sep or not guest.startswith("/"):
            sys.exit(f"vmrun: --file wants HOSTPATH:/GUESTPATH, got {item!r}")
        mode = os.stat(host).st_mode & 0o777
        c.file(guest, read(host), mode)
        if mode & 0o111:
            libs.update(libs_of(host))

    for guest in sorted(libs):
        c.file(guest, read(libs[guest]))
    return gzip.compress(c.finish(), compresslevel=1)


def safe_name(name):
    if not re.fullmatch(r"[A-Za-z0-9._-][A-Za-z0-9._/-]*", name) or ".." in name:
        raise ValueError(f"bad emit name {name!r}")
    return name


def run(args):
    arch = ARCHES[args.arch]
    if args.kernel:
        vmlinuz, moddir, userland = args.kernel, args.modules, args.userland
    else:
        vmlinuz, moddir, userland = fetch_kernel(args.arch)
    for prog in arch["qemu"][:1] + arch["emulator"]:
        if not shutil.which(prog):
            print(f"vmrun: SKIP: {prog} not found", file=sys.stderr)
            return SKIP

    os.makedirs(args.out, exist_ok=True)
    initrd = os.path.join(args.out, "initrd.cpio.gz")
    with open(initrd, "wb") as f:
        f.write(build_initramfs(args, moddir, userland))

    # A large kernel log: UBI dumps a whole eraseblock that fails to program.
    cmd = arch["qemu"] + [
        "-m", str(args.mem), "-smp", str(args.cpus), "-nodefaults", "-no-user-config", "-display", "none",
        "-serial", "stdio", "-no-reboot", "-kernel", vmlinuz, "-initrd", initrd,
        "-append", f"console={arch['console']} quiet panic=-1 log_buf_len=2M " + args.append]
    t0 = time.monotonic()
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)

    status, errors, emitted = None, [], []
    cur = None  # (name, size, md5, chunks) while inside an emit block
    pending = b""
    ready_at = None
    timed_out = False
    with open(os.path.join(args.out, "console.log"), "wb") as log, \
            open(os.path.join(args.out, "guest.log"), "wb") as glog:

        def line_in(raw):
            nonlocal cur, status, ready_at
            line = raw.rstrip(b"\r\n").replace(b"\r", b"")
            text = line.decode("utf-8", "replace")
            if cur is not None:
                if text == f"{MARK}-END {cur[0]}@@":
                    data = base64.b64decode(b"".join(cur[3]))
                    if len(data) != cur[1] or hashlib.md5(data).hexdigest() != cur[2]:
                        errors.append(f"emit {cur[0]}: size/md5 mismatch")
                    else:
                        dest = os.path.join(args.out, cur[0])
                        os.makedirs(os.path.dirname(dest), exist_ok=True)
                        with open(dest, "wb") as f:
                            f.write(data)
                        emitted.append(cur[0])
                    cur = None
                else:
                    cur[3].append(line.strip())
                return
            m = re.search(re.escape(MARK) + r"-BEGIN (\S+) (\d+) ([0-9a-f]{32})@@", text)
            if m:
                if m.start() > 0 and ready_at is not None:
                    glog.write(line[:m.start()] + b"\n")
                try:
                    cur = (safe_name(m.group(1)), int(m.group(2)), m.group(3), [])
                except ValueError as e:
                    errors.append(str(e))
                return
            m = re.search(re.escape(MARK) + r"-EXIT (\d+)@@", text)
            if m:
                status = int(m.group(1))
                return
            if MARK + "-READY@@" in text:
                ready_at = time.monotonic()
                return
            if ready_at is not None:
                glog.write(line + b"\n")
            if args.verbose:
                sys.stderr.write(text + "\n")

        deadline = t0 + args.timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                timed_out = True
                proc.kill()
                break
            if not sel.select(timeout=min(left, 1.0)):
                continue
            chunk = os.read(proc.stdout.fileno(), 65536)
            if not chunk:
                break
            log.write(chunk)
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for raw in lines:
                line_in(raw)
        if pending:
            line_in(pending)
        proc.wait()
    t_end = time.monotonic()

    boot = (ready_at - t0) if ready_at else None
    timing = f"boot+setup {boot:.1f}s, " if boot is not None else ""
    print(f"vmrun: {timing}total {t_end - t0:.1f}s, emitted {len(emitted)} file(s) to {args.out}",
          file=sys.stderr)
    with open(os.path.join(args.out, "timing.txt"), "w") as f:
        f.write(f"boot_setup_s={boot if boot is not None else -1:.2f}\n"
                f"total_s={t_end - t0:.2f}\n")
    for e in errors:
        print("vmrun: " + e, file=sys.stderr)
    if timed_out:
        print(f"vmrun: timed out after {args.timeout}s; see {args.out}/console.log",
              file=sys.stderr)
        return TIMEOUT
    if cur is not None:
        errors.append(f"emit {cur[0]}: no end marker")
    if status is None:
        print(f"vmrun: VM ended without a status; see {args.out}/console.log", file=sys.stderr)
        return NOSTATUS
    if errors and status == 0:
        return NOSTATUS
    return status


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("script", help="guest shell script, run by /init after UBI is attached")
    ap.add_argument("--file", action="append", default=[], metavar="HOST:/GUEST",
                    help="extra file for the initramfs (repeatable)")
    ap.add_argument("--out", required=True, help="host directory for emitted files and logs")
    ap.add_argument("--timeout", type=float, default=300, help="seconds for the whole VM")
    ap.add_argument("--mem", type=int, default=1024, help="guest MiB")
    ap.add_argument("--cpus", type=int, default=1,
                    help="guest CPUs (the boards have two; the benchmarks use them)")
    ap.add_argument("--arch", choices=sorted(ARCHES), default="amd64",
                    help="the guest's architecture (default amd64)")
    ap.add_argument("--flash", choices=sorted(MODULES_AMD64), default="block2mtd",
                    help="what NAND.ubi is (default block2mtd)")
    ap.add_argument("--nand-mb", type=int, default=128,
                    help="block2mtd: size of the NAND.ubi partition")
    ap.add_argument("--peb-kb", type=int, default=128, help="block2mtd: erase block size")
    ap.add_argument("--nand-module", metavar="KO",
                    help="nandsim: nand_parts.ko (scripts/kernel/nand-module.sh builds it)")
    ap.add_argument("--nandsim", default="", metavar="PARAMS",
                    help="nandsim: extra module parameters (faults, delays) for the chip at boot")
    ap.add_argument("--append", default="", help="extra kernel command line")
    ap.add_argument("--kernel", help="vmlinuz or PVH vmlinux (default: from fetch-kernel.sh)")
    ap.add_argument("--modules", help="module dir matching --kernel")
    ap.add_argument("--userland", metavar="DIR",
                    help="with --kernel for another architecture: its busybox, mtd-utils and "
                         "their libraries (fetch-kernel.sh's USERLAND)")
    ap.add_argument("-v", "--verbose", action="store_true", help="echo the console to stderr")
    args = ap.parse_args()
    if bool(args.kernel) != bool(args.modules):
        ap.error("--kernel and --modules go together")
    if bool(args.userland) != bool(args.kernel and ARCHES[args.arch]["emulator"]):
        ap.error("--userland goes with --kernel, for a foreign --arch")
    if args.flash not in ARCHES[args.arch]["modules"]:
        ap.error(f"--arch {args.arch} has no {args.flash}")
    if (args.flash == "nandsim") != bool(args.nand_module):
        ap.error("--nand-module goes with --flash nandsim")
    if "'" in args.nandsim:
        ap.error("--nandsim: no quotes")
    sys.exit(run(args))


if __name__ == "__main__":
    main()
