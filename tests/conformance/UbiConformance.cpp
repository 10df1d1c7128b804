#include "conformance/UbiConformance.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "common/linuxFlash/UbiRequests.h"

namespace Conformance {

namespace {

using LinuxFlash::KernelInterface;

// A request sequence on an emptied device; each step is one check, named by its text. A step
// ends in the answer it expects: =ok (the default), =ERRNO or =NUMBER.
//   mk [static] BYTES NAME... [FIELD=N]...   mkvol per name; its number is the id written back
//   rm VOL; rn [VOL:NAME]... [count=N] [len=N]  rmvol; rename, len is the first name_len
//   open H VOL|PATH ro|rw|wo|dir; close H     descriptor H on a volume's node or a path
//   volup H BYTES; write H BYTES; read H BYTES; readall H PIECE (its number: the bytes read)
//   ioctl H volup|mkvol|unknown [null]       a request where it does not belong, or no record
//   attr VOL K=V...; dev K=V...; text PATH V  sysfs values, each with its newline
//   names NAME...; ids NAME:VOL...; got H TEXT the volumes; what H's reads gave
//   ls PATH [!]ENTRY...; order PATH ENTRY...   listed once (or not at all); in this order
//   mtd; reattach; need N|io                   the partition; power cycle; the rest needs more
// Numbers are sums of terms like 2L+1 or AL: L eraseblock size, A free eraseblocks at the start,
// S volume ids, M the I/O unit. VOL is a volume by its name at mk, or an id. In words X*N is N
// times X, \0 a NUL and '' nothing; a token with {N} stands for N tokens, {N} replaced by 0 to
// N-1. In paths $ is the device and $VOL a volume's entry. A write sends its update's own
// pattern; reads give the last update's bytes, then 0xFF.
struct Case {
    const char* name;
    const char* steps;
};

const Case kCases[] = {
    {"mkvol makes a dynamic volume with the lowest free id",
     "mk 2L+1 cf-dynamic =0; attr cf-dynamic name=cf-dynamic type=dynamic reserved_ebs=3 "
     "data_bytes=3L upd_marker=0 corrupted=0 alignment=1 usable_eb_size=L; "
     "dev avail_eraseblocks=A-3 volumes_count=1; ls /sys/class/ubi $cf-dynamic; "
     "ls /sys/class/ubi/$ $cf-dynamic; text /sys/class/ubi/$/$cf-dynamic/name cf-dynamic; "
     "open r cf-dynamic ro; read r 16 =16"},
    {"mkvol makes an empty static volume",
     "mk static 1 cf-static; attr cf-static type=static data_bytes=0 reserved_ebs=1; "
     "open r cf-static ro; read r 16 =0"},
    {"mkvol rounds the size up to whole eraseblocks",
     "mk L cf-exact; mk L+1 cf-over; mk 1 cf-byte; attr cf-exact reserved_ebs=1; "
     "attr cf-over reserved_ebs=2; attr cf-byte reserved_ebs=1"},
    {"mkvol gives the lowest free id", "mk 1 cf-a cf-b cf-c; rm cf-b; mk 1 cf-d =cf-b"},
    {"mkvol takes an explicit id within the volume table",
     "mk 1 cf-last vol_id=S-1 =S-1; mk 1 cf-beyond vol_id=S =EINVAL; "
     "mk 1 cf-negative vol_id=-2 =EINVAL; names cf-last"},
    {"mkvol checks each argument",
     "mk -1 cf-x =EINVAL; mk 1 cf-x alignment=-1 =EINVAL; mk 1 cf-x vol_type=-1 =EINVAL; "
     "mk 1 cf-x name_len=-1 =EINVAL; mk 1 cf-x alignment=0 =EINVAL; mk 0 cf-x =EINVAL; "
     "mk 1 cf-x vol_type=0 =EINVAL; mk 1 cf-x vol_type=5 =EINVAL; mk 1 cf-x vol_type=7 =EINVAL; "
     "mk 1 cf-x flags=2 =EINVAL; mk 1 cf-x flags=1 =EINVAL; mk 1 cf-x alignment=L+1 =EINVAL; "
     "mk 1 '' =EINVAL; mk 1 cf-x nul=0 =EINVAL; mk 1 cf-x name_len=12 =EINVAL; "
     "mk 1 cf-x name_len=3 =EINVAL; mk 1 n*128 =ENAMETOOLONG; "
     "mk 1 cf-x name_len=200 =ENAMETOOLONG; names"},
    {"mkvol takes an alignment in whole I/O units",
     "need io; mk 1 cf-x alignment=M+1 =EINVAL; mk 1 cf-io alignment=M; attr cf-io alignment=M"},
    {"mkvol takes a name of 127 bytes and the skip-check flag on a static volume",
     "mk 1 L*127; attr L*127 name=L*127; mk static 1 cf-skip flags=1"},
    {"mkvol refuses a used id or name after its argument checks",
     "mk 1 cf-used; mk 1 cf-other vol_id=cf-used =EEXIST; mk 1 cf-used =EEXIST; "
     "mk 0 cf-used =EINVAL; mk 1 cf-use"},
    {"mkvol refuses more eraseblocks than are free",
     "mk AL+L cf-big =ENOSPC; mk AL cf-all; dev avail_eraseblocks=0; mk 1 cf-more =ENOSPC"},
    {"mkvol refuses when every id is taken",
     "need S; mk 1 cf-{S}; mk 1 cf-auto =ENFILE; mk 1 cf-explicit vol_id=0 =EEXIST"},
    {"rmvol removes a volume at once",
     "mk 2L cf-gone; rm cf-gone; names; ls /sys/class/ubi !$cf-gone; "
     "open r cf-gone ro =ENOENT; dev avail_eraseblocks=A"},
    {"rmvol refuses missing and out-of-range ids", "rm 0 =ENODEV; rm S =EINVAL; rm -1 =EINVAL"},
    {"rmvol refuses a volume that is open",
     "mk 1 cf-open; open r cf-open ro; rm cf-open =EBUSY; close r; open w cf-open rw; "
     "rm cf-open =EBUSY; close w; rm cf-open"},
    {"rename with count 0 does nothing; counts out of range are refused",
     "mk 1 cf-keep; rn; rn cf-keep:cf-new count=-1 =EINVAL; "
     "rn cf-keep:cf-new count=33 =EINVAL; names cf-keep"},
    {"rename renames one volume and swaps two in one step",
     "mk 1 cf-a cf-b; rn cf-a:cf-x; attr cf-a name=cf-x; rn cf-a:cf-b cf-b:cf-x; "
     "attr cf-a name=cf-b; attr cf-b name=cf-x"},
    {"rename checks its entries",
     "mk 1 cf-entry; rn -1:cf-new =EINVAL; rn S:cf-new =EINVAL; "
     "rn cf-entry:cf-new len=-1 =EINVAL; rn cf-entry:n*128 =ENAMETOOLONG; "
     "rn cf-entry:cf\\0new =EINVAL; rn cf-entry:m*127; attr cf-entry name=m*127; "
     "rn cf-entry:cf-cut-here len=6; attr cf-entry name=cf-cut; rn cf-entry:; "
     "attr cf-entry name="},
    {"rename refuses a repeated id or new name",
     "mk 1 cf-a cf-b; rn cf-a:cf-x cf-a:cf-y =EINVAL; rn cf-a:cf-x cf-b:cf-x =EINVAL; "
     "names cf-a cf-b"},
    {"rename is all or nothing when a volume is missing",
     "mk 1 cf-a cf-b; rn cf-a:cf-x cf-b:cf-y 5:cf-z =ENODEV; names cf-a cf-b"},
    {"rename skips unchanged names",
     "mk 1 cf-a cf-b; rn cf-a:cf-a; rn cf-a:cf-a cf-b:cf-c; names cf-a cf-c"},
    {"rename removes the volume that holds a new name",
     "mk 1 cf-a; mk 3L cf-b; rn cf-a:cf-b; ids cf-b:cf-a; open r cf-b ro =ENOENT; "
     "dev avail_eraseblocks=A-1"},
    {"rename replaces a generation in one step",
     "mk static 1 kernel kernel_new kernel_prev; rn kernel:kernel_prev kernel_new:kernel; "
     "ids kernel:kernel_new kernel_prev:kernel"},
    {"rename refuses while the holder of a new name is open",
     "mk 1 cf-a cf-b cf-c; open r cf-b ro; rn cf-c:cf-d cf-a:cf-b =EBUSY; "
     "names cf-a cf-b cf-c"},
    {"rename takes an open volume but not one being updated",
     "mk 1 cf-a; open r cf-a ro; rn cf-a:cf-x; close r; open w cf-a rw; rn cf-a:cf-y; "
     "volup w 10; rn cf-a:cf-z =EBUSY; names cf-y"},
    {"rename takes 32 entries", "need 32; mk 1 cf-{32}; rn cf-{32}:cf-r{32}; names cf-r{32}"},
    {"a volume node has one writer at a time",
     "mk 1 cf-open; open w cf-open rw; open w2 cf-open rw =EBUSY; open w3 cf-open wo =EBUSY; "
     "open r cf-open ro; open r2 cf-open ro; close w; open w4 cf-open rw; "
     "open f /dev/$_5 ro =ENOENT"},
    {"an update needs a writable handle and a size within the volume",
     "mk 2L cf-update; open r cf-update ro; volup r 1 =EROFS; close r; open w cf-update rw; "
     "volup w -1 =EINVAL; volup w 2L+1 =EINVAL; volup w 2L"},
    {"an update needs the volume to itself",
     "mk 1 cf-update; open r cf-update ro; open w cf-update rw; volup w 1 =EBUSY; close r; "
     "volup w 1; open r2 cf-update ro =EBUSY; rm cf-update =EBUSY"},
    {"an update of 0 bytes empties the volume at once",
     "mk static 100 cf-static; open f cf-static rw; volup f 100; write f 100 =100; close f; "
     "attr cf-static data_bytes=100; open w cf-static rw; volup w 0; "
     "attr cf-static data_bytes=0 upd_marker=0; write w 1 =EPERM; write w 0 =EPERM; "
     "read w 16 =0; open r cf-static ro; mk 100 cf-dynamic; open g cf-dynamic rw; "
     "volup g 100; write g 100 =100; close g; open v cf-dynamic rw; volup v 0; "
     "attr cf-dynamic data_bytes=L; read v 16 =16"},
    {"a static update takes awkward write sizes",
     "mk static 2L cf-static; open w cf-static rw; volup w L+3; "
     "attr cf-static upd_marker=1 data_bytes=0; write w 1 =1; read w 16 =EBUSY; write w 0 =0; "
     "write w L =L; write w 100 =2; attr cf-static upd_marker=0 data_bytes=L+3 corrupted=0; "
     "write w 1 =EPERM; write w 0 =EPERM; readall w 4096 =L+3; open r cf-static ro; "
     "read r 2L =L+3"},
    {"a dynamic update reads 0xFF past its data",
     "mk 2L cf-dynamic; open w cf-dynamic rw; volup w 1000; "
     "attr cf-dynamic upd_marker=1 data_bytes=2L; write w 999 =999; write w 5 =1; "
     "attr cf-dynamic upd_marker=0 data_bytes=2L; open r cf-dynamic ro; readall r 65536 =2L"},
    {"a new update replaces a static volume's data",
     "mk static 100 cf-replace; open f cf-replace rw; volup f 10; write f 10 =10; close f; "
     "open w cf-replace rw; volup w 5; attr cf-replace data_bytes=10; write w 5 =5; "
     "attr cf-replace data_bytes=5; readall w 64 =5"},
    {"a handle closed during an update leaves the volume marked",
     "mk static 1000 cf-short; open w cf-short rw; volup w 100; write w 50 =50; close w; "
     "attr cf-short upd_marker=1; open w2 cf-short rw; read w2 16 =EBADF; read w2 0 =EBADF; "
     "open r cf-short ro; read r 16 =EBADF; close r; write w2 1 =EPERM; write w2 0 =EPERM; "
     "volup w2 4; write w2 4 =4; attr cf-short upd_marker=0; readall w2 64 =4"},
    {"a dynamic volume closed before its update's end stays marked until an update of 0 bytes",
     "mk 2L cf-short; open w cf-short rw; volup w 2L; close w; "
     "attr cf-short upd_marker=1 data_bytes=2L; open r cf-short ro; read r 16 =EBADF; "
     "close r; open w2 cf-short rw; volup w2 0; attr cf-short upd_marker=0 data_bytes=2L; "
     "read w2 16 =16"},
    {"handles refuse the wrong direction",
     "mk 1 cf-direction; open r cf-direction ro; write r 1 =EBADF; close r; "
     "open w cf-direction wo; read w 1 =EBADF"},
    {"the device node takes requests, not data",
     "mk 1 cf-node; open d /dev/$ rw; read d 1 =EINVAL; write d 1 =EINVAL; "
     "ioctl d volup =ENOTTY; ioctl d unknown =ENOTTY; ioctl d mkvol null =EFAULT; "
     "open v cf-node rw; ioctl v mkvol =ENOTTY; open f /sys/class/ubi/$/mtd_num ro; "
     "ioctl f volup =ENOTTY"},
    {"directories do not read and nodes are no directories",
     "open s /sys/class/ubi ro; read s 1 =EISDIR; open t /sys/class/ubi rw =EISDIR; "
     "open n /dev/$ dir =ENOTDIR"},
    {"sysfs lists devices and volumes and ends attributes in a newline",
     "mk 1 cf-sysfs; ls /sys/class/ubi version $ $cf-sysfs . ..; "
     "text /sys/class/ubi/version 1; mtd; open f /sys/class/ubi/$cf-sysfs/name ro; "
     "readall f 1 =9; got f cf-sysfs; open g /sys/class/ubi/$cf-sysfs/name rw =EACCES"},
    // The names hash to these places for ubi0 only.
    {"sysfs lists entries in the kernel's order",
     "mk 1 cf-a cf-b; order /sys/class/ubi . .. $cf-a $cf-b version $; "
     "order /sys/class/ubi/$ . .. avail_eraseblocks min_io_size mtd_num total_eraseblocks "
     "$cf-a volumes_count $cf-b max_vol_count eraseblock_size; "
     "order /sys/class/ubi/$cf-a . .. reserved_ebs upd_marker alignment type usable_eb_size "
     "data_bytes corrupted name"},
    {"an attribute's text is made at its first read; its removed volume's gives ENODEV",
     "mk 1 cf-before; open f /sys/class/ubi/$cf-before/name ro; "
     "open g /sys/class/ubi/$cf-before/name ro; read f 3 =3; rn cf-before:cf-after; "
     "read f 2 =2; rm cf-before; read g 64 =ENODEV; read f 64 =5; got f cf-before; "
     "read f 64 =ENODEV; read f 0 =0; open h /sys/class/ubi/$cf-before/name ro =ENOENT"},
    {"a fresh attach keeps what complete updates wrote",
     "mk 2L cf-dynamic; open w cf-dynamic rw; volup w 100; write w 100 =100; close w; "
     "mk static L cf-static; open s cf-static rw; volup s 1000; write s 1000 =1000; close s; "
     "reattach; attr cf-dynamic upd_marker=0 data_bytes=2L; "
     "attr cf-static upd_marker=0 corrupted=0 data_bytes=1000; open r cf-dynamic ro; "
     "read r 200 =200; open t cf-static ro; readall t 4096 =1000"},
    {"a fresh attach keeps the marker of an interrupted update",
     "mk static 3L cf-part; open p cf-part rw; volup p 3L; write p 2L =2L; close p; "
     "attr cf-part upd_marker=1 corrupted=0 data_bytes=0; open r cf-part ro; read r 16 =EBADF; "
     "close r; mk static 2L cf-none; open n cf-none rw; volup n 2L; close n; "
     "mk 2L cf-dynamic; open d cf-dynamic rw; volup d 2L; write d L =L; close d; reattach; "
     "attr cf-part upd_marker=1 corrupted=1 data_bytes=0; "
     "attr cf-none upd_marker=1 corrupted=0 data_bytes=0; "
     "attr cf-dynamic upd_marker=1 data_bytes=2L; open r cf-part ro; read r 16 =EBADF; "
     "close r; open e cf-dynamic ro; read e 16 =EBADF; open w cf-part rw; volup w 1000; "
     "write w 1000 =1000; attr cf-part upd_marker=0 corrupted=0 data_bytes=1000"},
};

const std::pair<int, const char*> kErrnoNames[] = {
    {EACCES, "EACCES"}, {EBADF, "EBADF"},   {EBUSY, "EBUSY"},   {EEXIST, "EEXIST"},
    {EFAULT, "EFAULT"}, {EINVAL, "EINVAL"}, {EIO, "EIO"},       {EISDIR, "EISDIR"},
    {ENFILE, "ENFILE"}, {ENODEV, "ENODEV"}, {ENOENT, "ENOENT"}, {ENAMETOOLONG, "ENAMETOOLONG"},
    {ENOSPC, "ENOSPC"}, {ENOTTY, "ENOTTY"}, {EPERM, "EPERM"},   {ENOTDIR, "ENOTDIR"},
    {EROFS, "EROFS"}};

std::string errnoName(int error) {
    for (const auto& [code, name] : kErrnoNames) {
        if (code == error) {
            return name;
        }
    }
    return "errno " + std::to_string(error);
}

int errnoCode(const std::string& text) {
    for (const auto& [code, name] : kErrnoNames) {
        if (text == name) {
            return code;
        }
    }
    return 0;
}

uint8_t patternByte(unsigned long long at, unsigned seed) {
    return static_cast<uint8_t>((at * 131 + seed * 29 + at / 251) & 0xFF);
}

// "X*N", "\0" and "''" as the table writes them.
std::string word(const std::string& text) {
    if (text == "''") {
        return "";
    }
    if (text.size() > 2 && text[1] == '*' &&
        text.find_first_not_of("0123456789", 2) == std::string::npos) {
        return std::string(std::stoul(text.substr(2)), text[0]);
    }
    std::string bytes = text;
    for (size_t at = bytes.find("\\0"); at != std::string::npos; at = bytes.find("\\0", at + 1)) {
        bytes.replace(at, 2, 1, '\0');
    }
    return bytes;
}

// One line of a report: newlines shown as \n.
std::string quoted(const std::string& text) {
    std::string shown = "\"";
    for (const char c : text) {
        shown += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return shown + "\"";
}

template <typename Container> std::string joined(const Container& items) {
    std::string text;
    for (const auto& item : items) {
        text += (text.empty() ? "" : " ") + quoted(item);
    }
    return "{" + text + "}";
}

// What a call returned: its value, or -1 with the errno it set.
struct Outcome {
    long long value;
    int error;
};

Outcome outcome(long long result) {
    return {result, result < 0 ? errno : 0};
}

const char* const kMalformed = "malformed step";

class Runner {
public:
    Runner(KernelInterface& kernel, unsigned ubi, const Reattach& reattach,
           std::vector<Check>& checks)
        : m_kernel(kernel), m_ubi(ubi), m_reattach(reattach), m_checks(checks) {}

    // Empties the device and reads its geometry; false, recorded, when it cannot.
    bool prepare(const std::string& caseName) {
        m_case = caseName;
        m_volumes.clear();
        m_handles.clear();
        m_updates.clear();
        for (const auto& [name, id] : volumeIds()) {
            int32_t volId = id;
            const Outcome removed = deviceRequest(UBI_IOCRMVOL, &volId);
            if (removed.value != 0) {
                record("remove volume " + name + " before the case", errnoName(removed.error));
                return false;
            }
        }
        if (!readNumber("eraseblock_size", m_leb) || !readNumber("avail_eraseblocks", m_avail) ||
            !readNumber("max_vol_count", m_slots) || !readNumber("min_io_size", m_minIo) ||
            m_leb == 0 || m_slots == 0) {
            record("read the device's geometry", "unreadable sysfs attributes");
            return false;
        }
        return true;
    }

    std::string geometry() const {
        return "eraseblock_size " + std::to_string(m_leb) + ", avail_eraseblocks " +
               std::to_string(m_avail) + ", max_vol_count " + std::to_string(m_slots) +
               ", min_io_size " + std::to_string(m_minIo);
    }

    void runCase(const Case& each) {
        if (!prepare(each.name)) {
            return;
        }
        std::istringstream steps(each.steps);
        std::string step;
        while (std::getline(steps, step, ';')) {
            std::istringstream split(step);
            std::vector<std::string> tokens{std::istream_iterator<std::string>(split), {}};
            if (tokens.empty()) {
                continue;
            }
            std::string text;
            for (const std::string& token : tokens) {
                text += (text.empty() ? "" : " ") + token;
            }
            tokens = expand(tokens);
            if (tokens[0] == "need") {
                const std::string missing = lacking(tokens);
                if (!missing.empty()) {
                    record("skipped: " + missing, "");
                    break;
                }
                continue;
            }
            record(text, perform(tokens));
        }
        closeAll();
    }

    void record(const std::string& check, const std::string& failure) {
        m_checks.push_back({m_case, check, failure.empty(), failure});
    }

private:
    struct Handle {
        int fd = -1;
        int volume = -1;
        unsigned long long position = 0;
        std::string text; // what reads of anything but a volume gave
    };
    // The latest update of a volume: the seed of its pattern and the bytes it took.
    struct Update {
        unsigned seed = 0;
        unsigned long long length = 0;
    };

    std::string device() const { return "ubi" + std::to_string(m_ubi); }
    std::string entry(long long volId) const { return device() + "_" + std::to_string(volId); }

    // A sum of terms such as 2L, AL or 7.
    bool number(const std::string& text, long long& value) const {
        const std::map<char, long long> symbols = {
            {'L', m_leb}, {'A', m_avail}, {'S', m_slots}, {'M', m_minIo}};
        value = 0;
        size_t at = 0;
        while (at < text.size()) {
            const long long sign = text[at] == '-' ? -1 : 1;
            if (text[at] == '-' || (text[at] == '+' && at > 0)) {
                ++at;
            }
            const size_t start = at;
            long long term = 1;
            while (at < text.size() && isdigit(static_cast<unsigned char>(text[at]))) {
                ++at;
            }
            if (at > start) {
                term = std::stoll(text.substr(start, at - start));
            }
            for (; at < text.size() && symbols.count(text[at]) != 0; ++at) {
                term *= symbols.at(text[at]);
            }
            if (at == start) {
                return false;
            }
            value += sign * term;
        }
        return !text.empty();
    }

    bool volumeOrNumber(const std::string& text, long long& value) const {
        const auto found = m_volumes.find(text);
        if (found != m_volumes.end()) {
            value = found->second;
            return true;
        }
        return number(text, value);
    }

    std::string value(const std::string& text) const {
        long long number;
        return this->number(text, number) ? std::to_string(number) : word(text);
    }

    std::string path(const std::string& text) const {
        std::string result;
        for (size_t at = 0; at < text.size(); ++at) {
            if (text[at] != '$') {
                result += text[at];
                continue;
            }
            size_t end = at + 1;
            while (end < text.size() &&
                   (isalnum(static_cast<unsigned char>(text[end])) || text[end] == '-')) {
                ++end;
            }
            const auto found = m_volumes.find(text.substr(at + 1, end - at - 1));
            if (found != m_volumes.end()) {
                result += entry(found->second);
                at = end - 1;
            } else {
                result += device();
            }
        }
        return result;
    }

    std::vector<std::string> expand(const std::vector<std::string>& tokens) const {
        std::vector<std::string> result;
        for (const std::string& token : tokens) {
            const size_t open = token.find('{');
            const size_t close = token.find('}', open);
            long long count;
            if (open == std::string::npos || close == std::string::npos ||
                !number(token.substr(open + 1, close - open - 1), count)) {
                result.push_back(token);
                continue;
            }
            const std::string braces = token.substr(open, close - open + 1);
            for (long long i = 0; i < count; ++i) {
                std::string each = token;
                for (size_t at = each.find(braces); at != std::string::npos;
                     at = each.find(braces)) {
                    each.replace(at, braces.size(), std::to_string(i));
                }
                result.push_back(each);
            }
        }
        return result;
    }

    std::string lacking(const std::vector<std::string>& tokens) const {
        long long needed = 0;
        if (tokens.size() == 2 && tokens[1] == "io") {
            return m_minIo > 1 ? "" : "the I/O unit is 1 byte";
        }
        if (tokens.size() != 2 || !number(tokens[1], needed)) {
            return kMalformed;
        }
        return static_cast<long long>(m_avail) >= needed
                   ? ""
                   : "fewer than " + std::to_string(needed) + " free eraseblocks";
    }

    // "" when the outcome is the answer `want` names.
    std::string verdict(const Outcome& got, const std::string& want) const {
        const std::string shown = got.value < 0 ? errnoName(got.error) : std::to_string(got.value);
        if (want == "ok") {
            return got.value >= 0 ? "" : "expected success, got " + shown;
        }
        if (const int error = errnoCode(want)) {
            return got.value < 0 && got.error == error ? "" : "expected " + want + ", got " + shown;
        }
        long long expected;
        if (!volumeOrNumber(want, expected)) {
            return kMalformed;
        }
        return got.value == expected ? ""
                                     : "expected " + std::to_string(expected) + ", got " + shown;
    }

    std::string perform(std::vector<std::string> tokens) {
        std::string want = "ok";
        if (tokens.size() > 1 && tokens.back()[0] == '=') {
            want = tokens.back().substr(1);
            tokens.pop_back();
        }
        const std::string verb = tokens[0];
        const std::vector<std::string> args(tokens.begin() + 1, tokens.end());
        const std::string first = args.empty() ? "" : args[0];
        if (verb == "mk") {
            return makeVolumes(args, want);
        }
        if (verb == "rm") {
            long long id;
            int32_t volId = volumeOrNumber(first, id) ? static_cast<int32_t>(id) : -1;
            return id == volId ? verdict(deviceRequest(UBI_IOCRMVOL, &volId), want) : kMalformed;
        }
        if (verb == "rn") {
            return rename(args, want);
        }
        if (verb == "open" && args.size() == 3) {
            return open(args[0], args[1], args[2], want);
        }
        if (verb == "reattach") {
            closeAll();
            return m_reattach() ? "" : "the device did not come back";
        }
        const std::set<std::string> handleVerbs = {"close", "ioctl", "got",    "volup",
                                                   "write", "read",  "readall"};
        if (handleVerbs.count(verb) != 0 && args.size() >= 1) {
            return onHandle(verb, m_handles[first], args, want);
        }
        return sysfs(verb, args);
    }

    std::string onHandle(const std::string& verb, Handle& handle,
                         const std::vector<std::string>& args, const std::string& want) {
        const std::string second = args.size() > 1 ? args[1] : "";
        if (verb == "close") {
            m_open.erase(handle.fd);
            const Outcome got = outcome(m_kernel.close(handle.fd));
            handle.fd = -1;
            return verdict(got, want);
        }
        if (verb == "ioctl") {
            return request(handle, second, args.size() > 2 && args[2] == "null", want);
        }
        if (verb == "got") {
            const std::string expected = word(second) + "\n";
            return handle.text == expected
                       ? ""
                       : "expected " + quoted(expected) + ", got " + quoted(handle.text);
        }
        long long count;
        if (!number(second, count)) {
            return kMalformed;
        }
        if (verb == "volup") {
            return update(handle, count, want);
        }
        if (count < 0) {
            return kMalformed;
        }
        if (verb == "write") {
            Update& update = m_updates[handle.volume];
            std::vector<uint8_t> data(static_cast<size_t>(std::max(count, 1LL)));
            for (size_t i = 0; i < data.size(); ++i) {
                data[i] = patternByte(update.length + i, update.seed);
            }
            const Outcome got =
                outcome(m_kernel.write(handle.fd, data.data(), static_cast<size_t>(count)));
            if (got.value > 0) {
                update.length += static_cast<unsigned long long>(got.value);
            }
            return verdict(got, want);
        }
        return read(handle, static_cast<size_t>(count), verb == "readall", want);
    }

    std::string update(Handle& handle, long long bytes, const std::string& want) {
        int64_t count = bytes;
        const Outcome got = outcome(m_kernel.ioctl(handle.fd, UBI_IOCVOLUP, &count));
        if (got.value == 0 && handle.volume >= 0) {
            m_updates[handle.volume] = {++m_seeds, 0};
        }
        return verdict(got, want);
    }

    // The checks of what sysfs shows.
    std::string sysfs(const std::string& verb, const std::vector<std::string>& args) {
        const std::string first = args.empty() ? "" : args[0];
        if (verb == "attr" || verb == "dev") {
            long long id = 0;
            if (verb == "attr" && !volumeOrNumber(first, id)) {
                return kMalformed;
            }
            const std::string directory =
                "/sys/class/ubi/" + (verb == "attr" ? entry(id) : device()) + "/";
            std::string failure;
            for (size_t i = verb == "attr" ? 1 : 0; i < args.size(); ++i) {
                const size_t equals = args[i].find('=');
                if (equals == std::string::npos) {
                    return kMalformed;
                }
                const std::string key = args[i].substr(0, equals);
                const std::string expected = value(args[i].substr(equals + 1)) + "\n";
                const std::string got = attribute(directory + key);
                if (got != expected) {
                    failure += (failure.empty() ? "" : "; ") + key + ": expected " +
                               quoted(expected) + ", got " + quoted(got);
                }
            }
            return failure;
        }
        if (verb == "text" && args.size() == 2) {
            const std::string expected = value(args[1]) + "\n";
            const std::string got = attribute(path(first));
            return got == expected ? "" : "expected " + quoted(expected) + ", got " + quoted(got);
        }
        if (verb == "names" || verb == "ids") {
            std::map<std::string, int> expected;
            for (const std::string& each : args) {
                const size_t colon = each.find(':');
                long long id = -1;
                if (verb == "ids" &&
                    (colon == std::string::npos || !volumeOrNumber(each.substr(colon + 1), id))) {
                    return kMalformed;
                }
                expected[word(each.substr(0, colon))] = static_cast<int>(id);
            }
            std::map<std::string, int> got = volumeIds();
            for (auto& [name, id] : got) {
                id = verb == "names" ? -1 : id;
            }
            return got == expected ? "" : "expected " + show(expected) + ", got " + show(got);
        }
        if (verb == "ls" || verb == "order") {
            const std::vector<std::string> listing = list(path(first));
            std::vector<std::string> expected;
            std::string failure;
            for (size_t i = 1; i < args.size(); ++i) {
                const bool absent = args[i][0] == '!';
                const std::string name = path(args[i].substr(absent ? 1 : 0));
                expected.push_back(name);
                if (std::count(listing.begin(), listing.end(), name) != (absent ? 0 : 1)) {
                    failure += (failure.empty() ? "" : "; ") + name +
                               (absent ? " listed" : " not listed once");
                }
            }
            std::vector<std::string> seen;
            std::copy_if(listing.begin(), listing.end(), std::back_inserter(seen),
                         [&](const std::string& name) {
                             return std::count(expected.begin(), expected.end(), name) != 0;
                         });
            return verb == "order" && seen != expected ? "in the order " + joined(seen) : failure;
        }
        if (verb == "mtd") {
            const std::string number = attribute("/sys/class/ubi/" + device() + "/mtd_num");
            const bool numeric = number.size() > 1 && number.back() == '\n' &&
                                 number.find_first_not_of("0123456789\n") == std::string::npos;
            const std::string name = numeric
                                         ? attribute("/sys/class/mtd/mtd" +
                                                     number.substr(0, number.size() - 1) + "/name")
                                         : "";
            return numeric && name.size() > 1 && name.back() == '\n'
                       ? ""
                       : "mtd_num " + quoted(number) + ", name " + quoted(name);
        }
        return kMalformed;
    }

    std::string makeVolumes(const std::vector<std::string>& args, const std::string& want) {
        size_t at = 0;
        int type = UBI_DYNAMIC_VOLUME;
        if (at < args.size() && args[at] == "static") {
            type = UBI_STATIC_VOLUME;
            ++at;
        }
        long long bytes;
        if (at == args.size() || !number(args[at++], bytes)) {
            return kMalformed;
        }
        std::vector<std::string> names;
        std::map<std::string, long long> fields;
        for (; at < args.size(); ++at) {
            const size_t equals = args[at].find('=');
            if (equals == std::string::npos) {
                names.push_back(args[at]);
            } else if (!volumeOrNumber(args[at].substr(equals + 1),
                                       fields[args[at].substr(0, equals)])) {
                return kMalformed;
            }
        }
        for (const std::string& name : names) {
            ubi_mkvol_req request = LinuxFlash::makeVolumeRequest(word(name), type, bytes);
            for (const auto& [field, value] : fields) {
                if (field == "vol_id") {
                    request.vol_id = static_cast<int32_t>(value);
                } else if (field == "alignment") {
                    request.alignment = static_cast<int32_t>(value);
                } else if (field == "vol_type") {
                    request.vol_type = static_cast<int8_t>(value);
                } else if (field == "name_len") {
                    request.name_len = static_cast<int16_t>(value);
                } else if (field == "flags") {
                    request.flags = static_cast<uint8_t>(value);
                } else if (field == "nul" && value >= 0 && value < UBI_MAX_VOLUME_NAME) {
                    request.name[value] = '\0';
                } else {
                    return kMalformed;
                }
            }
            Outcome got = deviceRequest(UBI_IOCMKVOL, &request);
            if (got.value == 0) {
                got.value = request.vol_id;
                m_volumes[name] = request.vol_id;
            }
            const std::string failure = verdict(got, want);
            if (!failure.empty()) {
                return names.size() > 1 ? name + ": " + failure : failure;
            }
        }
        return "";
    }

    std::string rename(const std::vector<std::string>& args, const std::string& want) {
        auto request = std::make_unique<ubi_rnvol_req>();
        memset(request.get(), 0, sizeof *request);
        std::map<std::string, long long> fields;
        for (const std::string& each : args) {
            const size_t equals = each.find('=');
            const size_t colon = each.find(':');
            long long volId;
            if (equals != std::string::npos) {
                if (!number(each.substr(equals + 1), fields[each.substr(0, equals)])) {
                    return kMalformed;
                }
                continue;
            }
            if (colon == std::string::npos || request->count == UBI_MAX_RNVOL ||
                !volumeOrNumber(each.substr(0, colon), volId)) {
                return kMalformed;
            }
            const std::string name = word(each.substr(colon + 1));
            const int32_t at = request->count++;
            request->ents[at].vol_id = static_cast<int32_t>(volId);
            request->ents[at].name_len = static_cast<int16_t>(name.size());
            memcpy(request->ents[at].name, name.data(),
                   std::min(name.size(), sizeof request->ents[at].name));
        }
        for (const auto& [field, value] : fields) {
            if (field == "count") {
                request->count = static_cast<int32_t>(value);
            } else if (field == "len") {
                request->ents[0].name_len = static_cast<int16_t>(value);
            } else {
                return kMalformed;
            }
        }
        return verdict(deviceRequest(UBI_IOCRNVOL, request.get()), want);
    }

    std::string open(const std::string& name, const std::string& target, const std::string& mode,
                     const std::string& want) {
        const std::map<std::string, int> modes = {
            {"ro", O_RDONLY}, {"rw", O_RDWR}, {"wo", O_WRONLY}, {"dir", O_RDONLY | O_DIRECTORY}};
        long long volId = -1;
        if (modes.count(mode) == 0 || target.empty() ||
            (target[0] != '/' && !volumeOrNumber(target, volId))) {
            return kMalformed;
        }
        const std::string file = volId >= 0 ? "/dev/" + entry(volId) : path(target);
        const Outcome got = outcome(m_kernel.open(file.c_str(), modes.at(mode)));
        if (got.value >= 0) {
            m_open.insert(static_cast<int>(got.value));
            m_handles[name] = {static_cast<int>(got.value), static_cast<int>(volId), 0, ""};
        }
        return verdict(got, want);
    }

    std::string request(const Handle& handle, const std::string& name, bool null,
                        const std::string& want) {
        int64_t one = 1;
        ubi_mkvol_req record = LinuxFlash::makeVolumeRequest("cf-wrong", UBI_DYNAMIC_VOLUME, 1);
        const std::map<std::string, std::pair<unsigned long, void*>> requests = {
            {"volup", {UBI_IOCVOLUP, &one}},
            {"mkvol", {UBI_IOCMKVOL, &record}},
            {"unknown", {_IOW('o', 99, int32_t), &one}}};
        const auto found = requests.find(name);
        if (found == requests.end()) {
            return kMalformed;
        }
        const auto [code, argument] = found->second;
        return verdict(outcome(m_kernel.ioctl(handle.fd, code, null ? nullptr : argument)), want);
    }

    // Reads of `piece` bytes, once or to the end; a volume's bytes must be its data, else they
    // are kept as the handle's text.
    std::string read(Handle& handle, size_t piece, bool toEnd, const std::string& want) {
        std::vector<uint8_t> buffer(std::max<size_t>(piece, 1));
        std::string failure;
        long long total = 0;
        Outcome got{0, 0};
        for (int reads = 0; reads < (toEnd ? 1 << 16 : 1); ++reads) {
            got = outcome(m_kernel.read(handle.fd, buffer.data(), piece));
            if (got.value <= 0) {
                break;
            }
            total += got.value;
            for (long long i = 0; i < got.value && handle.volume < 0; ++i) {
                handle.text += static_cast<char>(buffer[static_cast<size_t>(i)]);
            }
            const auto found = m_updates.find(handle.volume);
            const Update update = found != m_updates.end() ? found->second : Update{};
            for (long long i = 0; i < got.value && handle.volume >= 0 && failure.empty(); ++i) {
                const unsigned long long at = handle.position + static_cast<unsigned long long>(i);
                const uint8_t expected = at < update.length ? patternByte(at, update.seed) : 0xFF;
                if (buffer[static_cast<size_t>(i)] != expected) {
                    failure = "byte " + std::to_string(at) + " is not the data written";
                }
            }
            handle.position += static_cast<unsigned long long>(got.value);
        }
        if (toEnd && got.value > 0) {
            return "no end";
        }
        const std::string answer = verdict(got.value < 0 ? got : Outcome{total, 0}, want);
        return answer.empty() ? failure : answer;
    }

    Outcome deviceRequest(unsigned long request, void* argument) {
        const int fd = m_kernel.open(("/dev/" + device()).c_str(), O_RDONLY);
        if (fd < 0) {
            return {-1, errno};
        }
        const Outcome got = outcome(m_kernel.ioctl(fd, request, argument));
        m_kernel.close(fd);
        return got;
    }

    void closeAll() {
        for (const int fd : m_open) {
            m_kernel.close(fd);
        }
        m_open.clear();
        m_handles.clear();
    }

    // A whole attribute, newline included.
    std::string attribute(const std::string& path) {
        const int fd = m_kernel.open(path.c_str(), O_RDONLY);
        if (fd < 0) {
            return "(unreadable)";
        }
        std::string content;
        char buffer[256];
        ssize_t length;
        while ((length = m_kernel.read(fd, buffer, sizeof buffer)) > 0) {
            content.append(buffer, static_cast<size_t>(length));
        }
        m_kernel.close(fd);
        return length == 0 ? content : "(unreadable)";
    }

    bool readNumber(const std::string& name, unsigned long long& value) {
        const std::string text = attribute("/sys/class/ubi/" + device() + "/" + name);
        if (text.empty() || text.back() != '\n' || !isdigit(static_cast<unsigned char>(text[0]))) {
            return false;
        }
        value = std::stoull(text);
        return true;
    }

    std::vector<std::string> list(const std::string& path) {
        std::vector<std::string> entries;
        const std::unique_ptr<LinuxFlash::DirectoryStream> directory =
            m_kernel.openDirectory(path.c_str());
        std::string entry;
        while (directory && directory->next(entry)) {
            entries.push_back(entry);
        }
        return entries;
    }

    // Volume name to id, from the device's sysfs directory.
    std::map<std::string, int> volumeIds() {
        std::map<std::string, int> ids;
        const std::string prefix = device() + "_";
        for (const std::string& each : list("/sys/class/ubi/" + device())) {
            const std::string name = attribute("/sys/class/ubi/" + each + "/name");
            if (each.compare(0, prefix.size(), prefix) == 0 && !name.empty() &&
                name.back() == '\n') {
                ids[name.substr(0, name.size() - 1)] = std::stoi(each.substr(prefix.size()));
            }
        }
        return ids;
    }

    static std::string show(const std::map<std::string, int>& ids) {
        std::vector<std::string> items;
        for (const auto& [name, id] : ids) {
            items.push_back(id < 0 ? name : name + ":" + std::to_string(id));
        }
        return joined(items);
    }

    KernelInterface& m_kernel;
    unsigned m_ubi;
    const Reattach& m_reattach;
    std::vector<Check>& m_checks;
    std::string m_case;
    unsigned long long m_leb = 0;
    unsigned long long m_avail = 0;
    unsigned long long m_slots = 0;
    unsigned long long m_minIo = 0;
    std::map<std::string, int> m_volumes; // by the name they were made with
    std::map<std::string, Handle> m_handles;
    std::set<int> m_open;
    std::map<int, Update> m_updates; // by volume id
    unsigned m_seeds = 0;
};

} // namespace

std::vector<Check> runUbi(LinuxFlash::KernelInterface& kernel, unsigned ubiNumber,
                          const Reattach& reattach, const std::string& onlyCase) {
    std::vector<Check> checks;
    Runner runner(kernel, ubiNumber, reattach, checks);
    if (runner.prepare("the device")) {
        runner.record(runner.geometry(), "");
    }
    for (const Case& each : kCases) {
        if (onlyCase.empty() || onlyCase == each.name) {
            runner.runCase(each);
        }
    }
    runner.prepare("leave the device empty");
    return checks;
}

std::vector<std::string> ubiCaseNames() {
    std::vector<std::string> names;
    for (const Case& each : kCases) {
        names.push_back(each.name);
    }
    return names;
}

} // namespace Conformance
