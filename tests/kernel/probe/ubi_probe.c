/*
 * ubi_probe: records how UBI answers edge cases of its user-space interface,
 * one "case = result" line each, so a UBI simulator can be held to the kernel.
 *
 * Needs an attached, empty ubi0 (on mtd MTD_NUM) and the right to detach and
 * re-attach it. Built with gcc -static so it runs in the bare test VM.
 * Usage: ubi_probe [MTD_NUM]
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <mtd/ubi-user.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int mtd_num = 2;
static long leb_size;

static void out(const char* name, const char* fmt, ...) {
    va_list ap;
    printf("%s = ", name);
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    putchar('\n');
    fflush(stdout);
}

/* "OK" or "ERR <ENAME>" for a 0/-1 style return. */
static void res(const char* name, long rc) {
    if (rc < 0) {
        out(name, "ERR %s", strerrorname_np(errno));
    } else {
        out(name, "OK");
    }
}

/* A count, or "ERR <ENAME>", for read()/write(). */
static void res_n(const char* name, long rc) {
    if (rc < 0) {
        out(name, "ERR %s", strerrorname_np(errno));
    } else {
        out(name, "%ld", rc);
    }
}

static long sysfs_long(const char* path) {
    char buf[64] = "";
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    return n > 0 ? strtol(buf, NULL, 10) : -1;
}

static long vol_attr(int id, const char* attr) {
    char p[128];
    snprintf(p, sizeof(p), "/sys/class/ubi/ubi0_%d/%s", id, attr);
    return sysfs_long(p);
}

/* Rotating buffers so two calls can share one printf. */
static const char* vol_name(int id) {
    static char bufs[4][160];
    static int next;
    char* buf = bufs[next++ % 4];
    char p[128];
    snprintf(p, sizeof(p), "/sys/class/ubi/ubi0_%d/name", id);
    int fd = open(p, O_RDONLY);
    ssize_t n = fd < 0 ? -1 : read(fd, buf, sizeof(bufs[0]) - 1);
    if (fd >= 0) {
        close(fd);
    }
    if (n < 0) {
        return "<none>";
    }
    buf[n] = 0;
    buf[strcspn(buf, "\n")] = 0;
    return buf;
}

static void attrs(const char* name, int id) {
    char key[96];
    snprintf(key, sizeof(key), "%s.sysfs", name);
    out(key, "data_bytes=%ld reserved_ebs=%ld corrupted=%ld upd_marker=%ld",
        vol_attr(id, "data_bytes"), vol_attr(id, "reserved_ebs"), vol_attr(id, "corrupted"),
        vol_attr(id, "upd_marker"));
}

static int ctl_fd = -1;
static int ctl(void) {
    if (ctl_fd < 0) {
        ctl_fd = open("/dev/ubi0", O_RDONLY);
    }
    if (ctl_fd < 0) {
        perror("/dev/ubi0");
        exit(2);
    }
    return ctl_fd;
}

static int mkvol(int id, const char* name, long long bytes, int type) {
    struct ubi_mkvol_req r;
    memset(&r, 0, sizeof(r));
    r.vol_id = id;
    r.alignment = 1;
    r.bytes = bytes;
    r.vol_type = type;
    r.name_len = strlen(name);
    strncpy(r.name, name, sizeof(r.name) - 1);
    int rc = ioctl(ctl(), UBI_IOCMKVOL, &r);
    return rc < 0 ? rc : r.vol_id;
}

static int rmvol(int id) {
    int32_t v = id;
    return ioctl(ctl(), UBI_IOCRMVOL, &v);
}

static char devpath[32];
static const char* dev(int id) {
    snprintf(devpath, sizeof(devpath), "/dev/ubi0_%d", id);
    return devpath;
}

static int volup(int fd, long long bytes) {
    int64_t b = bytes;
    return ioctl(fd, UBI_IOCVOLUP, &b);
}

/* Detach and re-attach ubi0: what survives is what is on flash. */
static void reattach(void) {
    int c = open("/dev/ubi_ctrl", O_RDONLY);
    int32_t num = 0;
    struct ubi_attach_req a;
    /* An open /dev/ubi0 would keep the device busy. */
    if (ctl_fd >= 0) {
        close(ctl_fd);
    }
    ctl_fd = -1;
    memset(&a, 0, sizeof(a));
    a.ubi_num = 0;
    a.mtd_num = mtd_num;
    if (c < 0 || ioctl(c, UBI_IOCDET, &num) < 0 || ioctl(c, UBI_IOCATT, &a) < 0) {
        perror("reattach");
        exit(2);
    }
    close(c);
}

static void fill(char* buf, size_t n, unsigned seed) {
    for (size_t i = 0; i < n; i++) {
        buf[i] = (char)(seed + i * 7 + (i >> 8));
    }
}

int main(int argc, char** argv) {
    if (argc > 1) {
        mtd_num = atoi(argv[1]);
    }
    leb_size = sysfs_long("/sys/class/ubi/ubi0/eraseblock_size");
    long avail = sysfs_long("/sys/class/ubi/ubi0/avail_eraseblocks");
    out("device.leb_size", "%ld", leb_size);
    out("device.avail_ebs", "%ld", avail);
    if (sysfs_long("/sys/class/ubi/ubi0/volumes_count") != 0) {
        fprintf(stderr, "ubi_probe: ubi0 must be empty\n");
        return 2;
    }

    char name[200];
    char* buf = malloc(4 * leb_size);
    char* back = malloc(4 * leb_size);
    int fd, fd2;

    /* --- UBI_IOCMKVOL --- */
    out("mkvol.dynamic_id0", "%d", mkvol(0, "dyn", 4 * leb_size, UBI_DYNAMIC_VOLUME));
    out("mkvol.static_id1", "%d", mkvol(1, "stat", 4 * leb_size, UBI_STATIC_VOLUME));
    out("mkvol.auto_id", "%d", mkvol(UBI_VOL_NUM_AUTO, "auto", leb_size, UBI_DYNAMIC_VOLUME));
    rmvol(2);
    attrs("mkvol.fresh_dynamic", 0);
    attrs("mkvol.fresh_static", 1);
    res("mkvol.dup_name", mkvol(UBI_VOL_NUM_AUTO, "dyn", leb_size, UBI_DYNAMIC_VOLUME));
    res("mkvol.dup_id", mkvol(0, "other", leb_size, UBI_DYNAMIC_VOLUME));
    memset(name, 'n', 127);
    name[127] = 0;
    res("mkvol.name_127", mkvol(5, name, leb_size, UBI_DYNAMIC_VOLUME));
    rmvol(5);
    {
        struct ubi_mkvol_req r;
        memset(&r, 0, sizeof(r));
        r.vol_id = 5;
        r.alignment = 1;
        r.bytes = leb_size;
        r.vol_type = UBI_DYNAMIC_VOLUME;
        r.name_len = 128;
        memset(r.name, 'n', sizeof(r.name));
        res("mkvol.name_128", ioctl(ctl(), UBI_IOCMKVOL, &r));
        rmvol(5);
    }
    res("mkvol.name_empty", mkvol(5, "", leb_size, UBI_DYNAMIC_VOLUME));
    rmvol(5);
    avail = sysfs_long("/sys/class/ubi/ubi0/avail_eraseblocks");
    res("mkvol.too_big", mkvol(5, "big", (avail + 1) * leb_size, UBI_DYNAMIC_VOLUME));
    res("mkvol.exactly_avail", mkvol(5, "big", avail * leb_size, UBI_DYNAMIC_VOLUME));
    out("mkvol.exactly_avail.avail_after", "%ld",
        sysfs_long("/sys/class/ubi/ubi0/avail_eraseblocks"));
    rmvol(5);
    res("mkvol.bytes_0", mkvol(5, "zero", 0, UBI_DYNAMIC_VOLUME));
    rmvol(5);
    res("mkvol.bytes_1", mkvol(5, "one", 1, UBI_DYNAMIC_VOLUME));
    out("mkvol.bytes_1.reserved_ebs", "%ld", vol_attr(5, "reserved_ebs"));
    rmvol(5);
    res("mkvol.id_127", mkvol(127, "last", leb_size, UBI_DYNAMIC_VOLUME));
    rmvol(127);
    res("mkvol.id_128", mkvol(128, "past", leb_size, UBI_DYNAMIC_VOLUME));
    res("mkvol.id_minus2", mkvol(-2, "neg", leb_size, UBI_DYNAMIC_VOLUME));
    res("mkvol.bad_type", mkvol(5, "type", leb_size, 7));

    /* --- UBI_IOCRMVOL --- */
    res("rmvol.missing_id", rmvol(77));
    res("rmvol.id_128", rmvol(128));
    fd = open(dev(0), O_RDONLY);
    res("rmvol.open_ro", rmvol(0));
    close(fd);

    /* --- UBI_IOCRNVOL --- */
    {
        struct ubi_rnvol_req r;
        memset(&r, 0, sizeof(r));
        r.count = 0;
        res("rnvol.count_0", ioctl(ctl(), UBI_IOCRNVOL, &r));
        r.count = 33;
        res("rnvol.count_33", ioctl(ctl(), UBI_IOCRNVOL, &r));
        r.count = -1;
        res("rnvol.count_minus1", ioctl(ctl(), UBI_IOCRNVOL, &r));

#define ENT(i, id, nm)                                                                             \
    do {                                                                                           \
        r.ents[i].vol_id = (id);                                                                   \
        r.ents[i].name_len = strlen(nm);                                                           \
        memset(r.ents[i].name, 0, sizeof(r.ents[i].name));                                         \
        strcpy(r.ents[i].name, (nm));                                                              \
    } while (0)
        r.count = 2;
        ENT(0, 0, "a");
        ENT(1, 0, "b");
        res("rnvol.dup_ids", ioctl(ctl(), UBI_IOCRNVOL, &r));
        ENT(0, 0, "same");
        ENT(1, 1, "same");
        res("rnvol.dup_new_names", ioctl(ctl(), UBI_IOCRNVOL, &r));
        r.count = 1;
        ENT(0, 77, "ghost");
        res("rnvol.missing_id", ioctl(ctl(), UBI_IOCRNVOL, &r));
        ENT(0, 0, "dyn");
        res("rnvol.same_name", ioctl(ctl(), UBI_IOCRNVOL, &r));
        ENT(0, 0, "");
        res("rnvol.empty_name", ioctl(ctl(), UBI_IOCRNVOL, &r));
        out("rnvol.empty_name.name_now", "'%s'", vol_name(0));
        ENT(0, 0, "dyn");
        ioctl(ctl(), UBI_IOCRNVOL, &r);
        r.ents[0].name_len = 128;
        memset(r.ents[0].name, 'n', sizeof(r.ents[0].name));
        res("rnvol.name_128", ioctl(ctl(), UBI_IOCRNVOL, &r));
        r.count = 2;
        ENT(0, 0, "stat");
        ENT(1, 1, "dyn");
        res("rnvol.swap", ioctl(ctl(), UBI_IOCRNVOL, &r));
        out("rnvol.swap.names_now", "0='%s' 1='%s'", vol_name(0), vol_name(1));
        ENT(0, 0, "dyn");
        ENT(1, 1, "stat");
        ioctl(ctl(), UBI_IOCRNVOL, &r);
        r.count = 1;
        fd = open(dev(0), O_RDONLY);
        ENT(0, 0, "dyn2");
        res("rnvol.open_ro", ioctl(ctl(), UBI_IOCRNVOL, &r));
        close(fd);
        fd = open(dev(0), O_RDWR);
        ENT(0, 0, "dyn3");
        res("rnvol.open_rw", ioctl(ctl(), UBI_IOCRNVOL, &r));
        close(fd);
        ENT(0, 0, "dyn");
        ioctl(ctl(), UBI_IOCRNVOL, &r);
        /* Renaming onto the name of a volume outside the list removes that volume. */
        mkvol(3, "victim", leb_size, UBI_DYNAMIC_VOLUME);
        fd = open(dev(3), O_RDONLY);
        ENT(0, 0, "victim");
        res("rnvol.to_existing_name_open", ioctl(ctl(), UBI_IOCRNVOL, &r));
        close(fd);
        res("rnvol.to_existing_name", ioctl(ctl(), UBI_IOCRNVOL, &r));
        out("rnvol.to_existing_name.names_now", "0='%s' 3='%s'", vol_name(0), vol_name(3));
        ENT(0, 0, "dyn");
        ioctl(ctl(), UBI_IOCRNVOL, &r);
        rmvol(3);
    }

    /* --- open modes --- */
    fd = open(dev(0), O_RDWR);
    res("open.rw_first", fd);
    fd2 = open(dev(0), O_RDWR);
    res("open.rw_second", fd2);
    if (fd2 >= 0) {
        close(fd2);
    }
    fd2 = open(dev(0), O_WRONLY);
    res("open.wo_while_rw", fd2);
    if (fd2 >= 0) {
        close(fd2);
    }
    fd2 = open(dev(0), O_RDONLY);
    res("open.ro_while_rw", fd2);
    if (fd2 >= 0) {
        close(fd2);
    }
    res("rmvol.open_rw", rmvol(0));
    close(fd);

    /* --- UBI_IOCVOLUP --- */
    fd = open(dev(0), O_RDONLY);
    res("volup.ro_fd", volup(fd, 100));
    close(fd);
    fd = open(dev(0), O_RDWR);
    res("volup.count_gt_reserved", volup(fd, 4 * leb_size + 1));
    res("volup.count_minus1", volup(fd, -1));
    res("volup.count_eq_reserved", volup(fd, 4 * leb_size));
    close(fd); /* leaves an interrupted update behind */
    attrs("volup.closed_mid_update.dynamic", 0);
    fd = open(dev(0), O_RDONLY);
    res_n("read.after_close_mid_update", read(fd, back, 16));
    close(fd);

    fd = open(dev(0), O_RDWR);
    res_n("write.no_update_0_bytes", write(fd, buf, 0));
    res_n("write.no_update_16_bytes", write(fd, buf, 16));
    res("volup.count_0", volup(fd, 0));
    attrs("volup.count_0.dynamic", 0);
    res_n("read.after_count_0", read(fd, back, 16));
    close(fd);

    fill(buf, 4 * leb_size, 1);
    fd = open(dev(0), O_RDWR);
    res("volup.dynamic_100", volup(fd, 100));
    attrs("volup.in_progress.dynamic", 0);
    res_n("write.in_progress_0_bytes", write(fd, buf, 0));
    res_n("write.completing_with_150_for_40_left", (write(fd, buf, 60), write(fd, buf + 60, 150)));
    attrs("volup.done_100.dynamic", 0);
    res_n("write.after_update_done", write(fd, buf, 10));
    close(fd);
    fd = open(dev(0), O_RDONLY);
    memset(back, 0, 300);
    res_n("read.dynamic_300_at_0", read(fd, back, 300));
    out("read.dynamic_data_matches", "%s", memcmp(back, buf, 100) ? "no" : "yes");
    {
        int ff = 1;
        for (int i = 100; i < 300; i++) {
            ff &= (unsigned char)back[i] == 0xff;
        }
        out("read.dynamic_past_data_is_ff", "%s", ff ? "yes" : "no");
    }
    res_n("read.dynamic_at_end", (lseek(fd, 4 * leb_size, SEEK_SET), read(fd, back, 10)));
    res_n("read.dynamic_straddling_end",
          (lseek(fd, 4 * leb_size - 4, SEEK_SET), read(fd, back, 10)));
    res_n("lseek.dynamic_past_end", lseek(fd, 4 * leb_size + 1, SEEK_SET));
    close(fd);

    fd = open(dev(1), O_RDWR);
    res("volup.static_1000", volup(fd, 1000));
    attrs("volup.in_progress.static", 1);
    res_n("write.static_1000", write(fd, buf, 1000));
    attrs("volup.done_1000.static", 1);
    close(fd);
    fd = open(dev(1), O_RDONLY);
    res_n("read.static_2000_at_0", read(fd, back, 2000));
    out("read.static_data_matches", "%s", memcmp(back, buf, 1000) ? "no" : "yes");
    res_n("read.static_at_data_end", read(fd, back, 10));
    res_n("lseek.static_past_data", lseek(fd, 2000, SEEK_SET));
    res_n("read.static_past_data", read(fd, back, 10));
    close(fd);

    fd = open(dev(1), O_RDWR);
    res("volup.static_count_0", volup(fd, 0));
    attrs("volup.count_0.static", 1);
    close(fd);
    fd = open(dev(1), O_RDONLY);
    res_n("read.static_after_count_0", read(fd, back, 10));
    close(fd);

    /* Two LEBs written, third missing: then close and re-attach. */
    fd = open(dev(1), O_RDWR);
    volup(fd, 3 * leb_size);
    res_n("write.static_partial_2_lebs", write(fd, buf, 2 * leb_size));
    attrs("volup.partial.static", 1);
    fd2 = open(dev(1), O_RDONLY);
    res("open.ro_while_updating", fd2);
    if (fd2 >= 0) {
        res_n("read.while_updating_other_fd", read(fd2, back, 16));
        close(fd2);
    }
    res("rmvol.while_updating", rmvol(1));
    close(fd);
    attrs("volup.closed_partial.static", 1);
    fd = open(dev(1), O_RDONLY);
    res_n("read.static_after_close_mid_update", read(fd, back, 16));
    close(fd);
    reattach();
    attrs("reattach.partial.static", 1);
    attrs("reattach.partial_leftover.dynamic", 0);
    fd = open(dev(1), O_RDONLY);
    res_n("read.static_after_reattach", read(fd, back, 16));
    close(fd);
    /* A finished update clears the marker again. */
    fd = open(dev(1), O_RDWR);
    volup(fd, 1000);
    res_n("write.static_redo_1000", write(fd, buf, 1000));
    close(fd);
    attrs("volup.redo.static", 1);

    /* --- UBI_IOCRSVOL --- */
    {
        struct ubi_rsvol_req r;
        memset(&r, 0, sizeof(r));
        r.vol_id = 1;
        r.bytes = 0;
        res("rsvol.bytes_0", ioctl(ctl(), UBI_IOCRSVOL, &r));
        avail = sysfs_long("/sys/class/ubi/ubi0/avail_eraseblocks");
        r.bytes = (4 + avail + 1) * leb_size;
        res("rsvol.too_big", ioctl(ctl(), UBI_IOCRSVOL, &r));
        r.bytes = 8 * leb_size;
        res("rsvol.grow", ioctl(ctl(), UBI_IOCRSVOL, &r));
        attrs("rsvol.grown.static", 1);
        r.vol_id = 77;
        res("rsvol.missing_id", ioctl(ctl(), UBI_IOCRSVOL, &r));
    }

    /* --- vtbl persistence of a dynamic volume interrupted mid-update --- */
    fd = open(dev(0), O_RDWR);
    volup(fd, 2 * leb_size);
    write(fd, buf, leb_size);
    close(fd);
    reattach();
    attrs("reattach.interrupted.dynamic", 0);
    fd = open(dev(0), O_RDONLY);
    res_n("read.dynamic_after_reattach", read(fd, back, 16));
    close(fd);

    printf("done\n");
    return 0;
}
