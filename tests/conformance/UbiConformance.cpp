#include "conformance/UbiConformance.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "common/linuxFlash/UbiRequests.h"

namespace Conformance {

namespace {

// A request sequence on an emptied device; each step is one check, named by its text. A step
// ends in the answer it expects: =ok (the default), =ERRNO or =NUMBER.
//   mk [static] BYTES NAME... [FIELD=N]...  mkvol per name; its number is the id written back
//   rm VOL; rn [VOL:NAME]... [count=N] [len=N]   rmvol; rename, len is the first name_len
//   open H VOL|PATH ro|rw|wo|dir; close H    descriptor H on a volume's node or on a path
//   volup H BYTES; write H BYTES; read H BYTES; readall H PIECE (its number: the bytes read)
//   ioctl H volup|mkvol|unknown [null]      a request where it does not belong, or no record
//   got H TEXT                              what H's reads of something not a volume gave
//   sys DIR KEY=VALUE...                    attributes of /sys/class/ubi/DIR, newline added
//   vols NAME[:VOL]...                      the volumes, by name and, with VOL, by id
//   ls PATH [!]ENTRY...                     listed once in this order, or not at all
//   reattach; need N                        a power cycle; the rest runs only when N > 0
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
     "mk 2L+1 cf-dynamic =0; sys $cf-dynamic name=cf-dynamic type=dynamic reserved_ebs=3 "
     "data_bytes=3L upd_marker=0 corrupted=0 alignment=1 usable_eb_size=L; "
     "sys $ avail_eraseblocks=A-3 volumes_count=1; sys $/$cf-dynamic name=cf-dynamic; "
     "open r cf-dynamic ro; read r 16 =16"},
    {"mkvol makes an empty static volume",
     "mk static 1 cf-static; sys $cf-static type=static data_bytes=0 reserved_ebs=1; "
     "open r cf-static ro; read r 16 =0"},
    {"mkvol rounds the size up to whole eraseblocks",
     "mk L cf-exact; mk L+1 cf-over; mk 1 cf-byte; sys $cf-exact reserved_ebs=1; "
     "sys $cf-over reserved_ebs=2; sys $cf-byte reserved_ebs=1"},
    {"mkvol gives the lowest free id", "mk 1 cf-a cf-b cf-c; rm cf-b; mk 1 cf-d =cf-b"},
    {"mkvol takes an explicit id within the volume table",
     "mk 1 cf-last vol_id=S-1 =S-1; mk 1 cf-beyond vol_id=S =EINVAL; "
     "mk 1 cf-negative vol_id=-2 =EINVAL; vols cf-last"},
    {"mkvol checks each argument",
     "mk -1 cf-x =EINVAL; mk 1 cf-x alignment=-1 =EINVAL; mk 1 cf-x vol_type=-1 =EINVAL; "
     "mk 1 cf-x name_len=-1 =EINVAL; mk 1 cf-x alignment=0 =EINVAL; mk 0 cf-x =EINVAL; "
     "mk 1 cf-x vol_type=0 =EINVAL; mk 1 cf-x vol_type=5 =EINVAL; mk 1 cf-x vol_type=7 =EINVAL; "
     "mk 1 cf-x flags=2 =EINVAL; mk 1 cf-x flags=1 =EINVAL; mk 1 cf-x alignment=L+1 =EINVAL; "
     "mk 1 '' =EINVAL; mk 1 cf-x nul=0 =EINVAL; mk 1 cf-x name_len=12 =EINVAL; "
     "mk 1 cf-x name_len=3 =EINVAL; mk 1 n*128 =ENAMETOOLONG; "
     "mk 1 cf-x name_len=200 =ENAMETOOLONG; vols"},
    {"mkvol takes an alignment in whole I/O units",
     "need M-1; mk 1 cf-x alignment=M+1 =EINVAL; mk 1 cf-io alignment=M; sys $cf-io alignment=M"},
    {"mkvol takes a name of 127 bytes and the skip-check flag on a static volume",
     "mk 1 L*127; sys $L*127 name=L*127; mk static 1 cf-skip flags=1"},
    {"mkvol refuses a used id or name after its argument checks",
     "mk 1 cf-used; mk 1 cf-other vol_id=cf-used =EEXIST; mk 1 cf-used =EEXIST; "
     "mk 0 cf-used =EINVAL; mk 1 cf-use"},
    {"mkvol refuses more eraseblocks than are free",
     "mk AL+L cf-big =ENOSPC; mk AL cf-all; sys $ avail_eraseblocks=0; mk 1 cf-more =ENOSPC"},
    {"mkvol refuses when every id is taken",
     "need A-S+1; mk 1 cf-{S}; mk 1 cf-auto =ENFILE; mk 1 cf-explicit vol_id=0 =EEXIST"},
    {"rmvol removes a volume at once",
     "mk 2L cf-gone; rm cf-gone; vols; ls /sys/class/ubi !$cf-gone; open r cf-gone ro =ENOENT; "
     "sys $ avail_eraseblocks=A"},
    {"rmvol refuses missing and out-of-range ids", "rm 0 =ENODEV; rm S =EINVAL; rm -1 =EINVAL"},
    {"rmvol refuses a volume that is open",
     "mk 1 cf-open; open r cf-open ro; rm cf-open =EBUSY; close r; open w cf-open rw; "
     "rm cf-open =EBUSY; close w; rm cf-open"},
    {"rename with count 0 does nothing; counts out of range are refused",
     "mk 1 cf-keep; rn; rn cf-keep:cf-new count=-1 =EINVAL; "
     "rn cf-keep:cf-new count=33 =EINVAL; vols cf-keep"},
    {"rename renames one volume and swaps two in one step",
     "mk 1 cf-a cf-b; rn cf-a:cf-x; sys $cf-a name=cf-x; rn cf-a:cf-b cf-b:cf-x; "
     "vols cf-b:cf-a cf-x:cf-b"},
    {"rename checks its entries",
     "mk 1 cf-entry; rn -1:cf-new =EINVAL; rn S:cf-new =EINVAL; "
     "rn cf-entry:cf-new len=-1 =EINVAL; rn cf-entry:n*128 =ENAMETOOLONG; "
     "rn cf-entry:cf\\0new =EINVAL; rn cf-entry:m*127; sys $cf-entry name=m*127; "
     "rn cf-entry:cf-cut-here len=6; sys $cf-entry name=cf-cut; rn cf-entry:; "
     "sys $cf-entry name="},
    {"rename refuses a repeated id or new name",
     "mk 1 cf-a cf-b; rn cf-a:cf-x cf-a:cf-y =EINVAL; rn cf-a:cf-x cf-b:cf-x =EINVAL; "
     "vols cf-a cf-b"},
    {"rename is all or nothing when a volume is missing",
     "mk 1 cf-a cf-b; rn cf-a:cf-x cf-b:cf-y 5:cf-z =ENODEV; vols cf-a cf-b"},
    {"rename skips unchanged names",
     "mk 1 cf-a cf-b; rn cf-a:cf-a; rn cf-a:cf-a cf-b:cf-c; vols cf-a cf-c"},
    {"rename removes the volume that holds a new name",
     "mk 1 cf-a; mk 3L cf-b; rn cf-a:cf-b; vols cf-b:cf-a; open r cf-b ro =ENOENT; "
     "sys $ avail_eraseblocks=A-1"},
    {"rename replaces a generation in one step",
     "mk static 1 kernel kernel_new kernel_prev; rn kernel:kernel_prev kernel_new:kernel; "
     "vols kernel:kernel_new kernel_prev:kernel"},
    {"rename refuses while the holder of a new name is open",
     "mk 1 cf-a cf-b cf-c; open r cf-b ro; rn cf-c:cf-d cf-a:cf-b =EBUSY; vols cf-a cf-b cf-c"},
    {"rename takes an open volume but not one being updated",
     "mk 1 cf-a; open r cf-a ro; rn cf-a:cf-x; close r; open w cf-a rw; rn cf-a:cf-y; "
     "volup w 10; rn cf-a:cf-z =EBUSY; vols cf-y"},
    {"rename takes 32 entries", "need A-31; mk 1 cf-{32}; rn cf-{32}:cf-r{32}; vols cf-r{32}"},
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
     "sys $cf-static data_bytes=100; open w cf-static rw; volup w 0; "
     "sys $cf-static data_bytes=0 upd_marker=0; write w 1 =EPERM; write w 0 =EPERM; "
     "read w 16 =0; open r cf-static ro; mk 100 cf-dynamic; open g cf-dynamic rw; "
     "volup g 100; write g 100 =100; close g; open v cf-dynamic rw; volup v 0; "
     "sys $cf-dynamic data_bytes=L; read v 16 =16"},
    {"a static update takes awkward write sizes",
     "mk static 2L cf-static; open w cf-static rw; volup w L+3; "
     "sys $cf-static upd_marker=1 data_bytes=0; write w 1 =1; read w 16 =EBUSY; write w 0 =0; "
     "write w L =L; write w 100 =2; sys $cf-static upd_marker=0 data_bytes=L+3 corrupted=0; "
     "write w 1 =EPERM; write w 0 =EPERM; readall w 4096 =L+3; open r cf-static ro; "
     "read r 2L =L+3"},
    {"a dynamic update reads 0xFF past its data",
     "mk 2L cf-dynamic; open w cf-dynamic rw; volup w 1000; "
     "sys $cf-dynamic upd_marker=1 data_bytes=2L; write w 999 =999; write w 5 =1; "
     "sys $cf-dynamic upd_marker=0 data_bytes=2L; open r cf-dynamic ro; readall r 65536 =2L"},
    {"a new update replaces a static volume's data",
     "mk static 100 cf-replace; open f cf-replace rw; volup f 10; write f 10 =10; close f; "
     "open w cf-replace rw; volup w 5; sys $cf-replace data_bytes=10; write w 5 =5; "
     "sys $cf-replace data_bytes=5; readall w 64 =5"},
    {"a handle closed during an update leaves the volume marked",
     "mk static 1000 cf-short; open w cf-short rw; volup w 100; write w 50 =50; close w; "
     "sys $cf-short upd_marker=1; open w2 cf-short rw; read w2 16 =EBADF; read w2 0 =EBADF; "
     "open r cf-short ro; read r 16 =EBADF; close r; write w2 1 =EPERM; write w2 0 =EPERM; "
     "volup w2 4; write w2 4 =4; sys $cf-short upd_marker=0; readall w2 64 =4"},
    {"a dynamic volume closed before its update's end stays marked until an update of 0 bytes",
     "mk 2L cf-short; open w cf-short rw; volup w 2L; close w; "
     "sys $cf-short upd_marker=1 data_bytes=2L; open r cf-short ro; read r 16 =EBADF; "
     "close r; open w2 cf-short rw; volup w2 0; sys $cf-short upd_marker=0 data_bytes=2L; "
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
    // Where the entries of ubi0 and its volumes 0 and 1 hash to.
    {"sysfs lists entries once in the kernel's order and ends values in a newline",
     "mk 1 cf-a cf-b; ls /sys/class/ubi . .. $cf-a $cf-b version $; "
     "ls /sys/class/ubi/$ . .. avail_eraseblocks min_io_size mtd_num total_eraseblocks $cf-a "
     "volumes_count $cf-b max_vol_count eraseblock_size; "
     "ls /sys/class/ubi/$cf-a . .. reserved_ebs upd_marker alignment type usable_eb_size "
     "data_bytes corrupted name; sys . version=1; open f /sys/class/ubi/$cf-a/name ro; "
     "readall f 1 =5; got f cf-a; open g /sys/class/ubi/$cf-a/name rw =EACCES"},
    {"an attribute's text is made at its first read; its removed volume's gives ENODEV",
     "mk 1 cf-before; open f /sys/class/ubi/$cf-before/name ro; "
     "open g /sys/class/ubi/$cf-before/name ro; read f 3 =3; rn cf-before:cf-after; "
     "read f 2 =2; rm cf-before; read g 64 =ENODEV; read f 64 =5; got f cf-before; "
     "read f 64 =ENODEV; read f 0 =0; open h /sys/class/ubi/$cf-before/name ro =ENOENT"},
    {"a fresh attach keeps what complete updates wrote",
     "mk 2L cf-dynamic; open w cf-dynamic rw; volup w 100; write w 100 =100; close w; "
     "mk static L cf-static; open s cf-static rw; volup s 1000; write s 1000 =1000; close s; "
     "reattach; sys $cf-dynamic upd_marker=0 data_bytes=2L; "
     "sys $cf-static upd_marker=0 corrupted=0 data_bytes=1000; open r cf-dynamic ro; "
     "read r 200 =200; open t cf-static ro; readall t 4096 =1000"},
    {"a fresh attach keeps the marker of an interrupted update",
     "mk static 3L cf-part; open p cf-part rw; volup p 3L; write p 2L =2L; close p; "
     "sys $cf-part upd_marker=1 corrupted=0 data_bytes=0; open r cf-part ro; read r 16 =EBADF; "
     "close r; mk static 2L cf-none; open n cf-none rw; volup n 2L; close n; "
     "mk 2L cf-dynamic; open d cf-dynamic rw; volup d 2L; write d L =L; close d; reattach; "
     "sys $cf-part upd_marker=1 corrupted=1 data_bytes=0; "
     "sys $cf-none upd_marker=1 corrupted=0 data_bytes=0; "
     "sys $cf-dynamic upd_marker=1 data_bytes=2L; open r cf-part ro; read r 16 =EBADF; "
     "close r; open e cf-dynamic ro; read e 16 =EBADF; open w cf-part rw; volup w 1000; "
     "write w 1000 =1000; sys $cf-part upd_marker=0 corrupted=0 data_bytes=1000"},
};

void require(bool condition) {
    if (!condition) {
        throw std::invalid_argument("malformed step");
    }
}

// What a call gave: its number, or the name of the errno it set.
std::string result(long long value) {
    const char* name = value < 0 ? strerrorname_np(errno) : nullptr;
    return value >= 0        ? std::to_string(value)
           : name != nullptr ? name
                             : "E" + std::to_string(errno);
}

uint8_t patternByte(unsigned long long at, unsigned seed) {
    return static_cast<uint8_t>((at * 131 + seed * 29 + at / 251) & 0xFF);
}

std::string word(const std::string& text) {
    if (text.size() > 2 && text[1] == '*' && isdigit(static_cast<unsigned char>(text[2]))) {
        return std::string(std::stoul(text.substr(2)), text[0]);
    }
    std::string bytes = text == "''" ? "" : text;
    for (size_t at = bytes.find("\\0"); at != std::string::npos; at = bytes.find("\\0", at)) {
        bytes.replace(at, 2, 1, '\0');
    }
    return bytes;
}

bool isLine(const std::string& text) {
    return !text.empty() && text.back() == '\n';
}

// On one line of the report.
std::string quoted(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        shown += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return "\"" + shown + "\"";
}

const std::pair<char, const char*> kGeometry[] = {{'L', "eraseblock_size"},
                                                  {'A', "avail_eraseblocks"},
                                                  {'S', "max_vol_count"},
                                                  {'M', "min_io_size"}};

class Runner {
public:
    Runner(LinuxFlash::KernelInterface& kernel, unsigned ubi, const Reattach& reattach,
           std::vector<Check>& checks)
        : m_kernel(kernel), m_device("ubi" + std::to_string(ubi)), m_reattach(reattach),
          m_checks(checks) {}

    // Empties the device and reads its geometry; false, recorded, when it cannot. The installer
    // finds the device by its partition's number and name, so those must read too.
    bool prepare(const std::string& caseName) {
        m_case = caseName;
        m_volumes.clear();
        m_updates.clear();
        for (const auto& [name, id] : volumeIds()) {
            int32_t volId = id;
            const std::string removed = deviceRequest(UBI_IOCRMVOL, &volId);
            if (removed != "0") {
                record("remove volume " + name + " before the case", "got " + removed);
                return false;
            }
        }
        const std::string mtd = attribute("/sys/class/ubi/" + m_device + "/mtd_num");
        bool valid =
            isLine(mtd) && mtd.find_first_not_of("0123456789") == mtd.size() - 1 &&
            isLine(attribute("/sys/class/mtd/mtd" + mtd.substr(0, mtd.size() - 1) + "/name"));
        for (const auto& [symbol, name] : kGeometry) {
            const std::string text = attribute("/sys/class/ubi/" + m_device + "/" + name);
            valid =
                valid && isLine(text) && text.find_first_not_of("0123456789") == text.size() - 1;
            m_geometry[symbol] = valid ? std::stoll(text) : 0;
            valid = valid && m_geometry[symbol] > 0;
        }
        if (!valid) {
            record("read the device's geometry and partition", "unreadable sysfs attributes");
        }
        return valid;
    }

    std::string geometry() {
        std::string text;
        for (const auto& [symbol, name] : kGeometry) {
            text += (text.empty() ? "" : ", ") + std::string(name) + " " +
                    std::to_string(m_geometry[symbol]);
        }
        return text;
    }

    void runCase(const Case& each) {
        if (!prepare(each.name)) {
            return;
        }
        std::istringstream steps(each.steps);
        for (std::string step; std::getline(steps, step, ';');) {
            std::istringstream split(step);
            const std::vector<std::string> tokens{std::istream_iterator<std::string>(split), {}};
            const std::string text = step.substr(step.find_first_not_of(' '));
            try {
                if (tokens.at(0) == "need" && number(tokens.at(1)) <= 0) {
                    record("skipped: " + text, "");
                    break;
                }
                if (tokens[0] != "need") {
                    record(text, perform(expand(tokens)));
                }
            } catch (const std::logic_error&) {
                record(text, "malformed step");
            }
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
    // A volume's latest update: the seed of its pattern and the bytes it took.
    struct Update {
        unsigned seed = 0;
        unsigned long long length = 0;
    };

    std::string entry(int volId) const { return m_device + "_" + std::to_string(volId); }

    long long number(const std::string& text) const {
        long long value = 0;
        require(!text.empty());
        for (size_t at = 0; at < text.size();) {
            const long long sign = text[at] == '-' ? -1 : 1;
            at += text[at] == '-' || (text[at] == '+' && at > 0) ? 1 : 0;
            const size_t start = at;
            long long term = 1;
            for (; at < text.size() && isdigit(static_cast<unsigned char>(text[at])); ++at) {
                term = (at == start ? 0 : term * 10) + (text[at] - '0');
            }
            for (; at < text.size() && m_geometry.count(text[at]) != 0; ++at) {
                term *= m_geometry.at(text[at]);
            }
            require(at > start);
            value += sign * term;
        }
        return value;
    }

    int idOrNumber(const std::string& text) const {
        const auto found = m_volumes.find(text);
        return found != m_volumes.end() ? found->second : static_cast<int>(number(text));
    }

    // A number's decimal, else the word.
    std::string value(const std::string& text) const {
        try {
            return std::to_string(number(text));
        } catch (const std::invalid_argument&) {
            return word(text);
        }
    }

    std::string path(const std::string& text) const {
        std::string result;
        for (size_t at = 0; at < text.size(); ++at) {
            const size_t end = std::min(text.find('/', at), text.size());
            const auto found = m_volumes.find(text.substr(at + 1, end - at - 1));
            if (text[at] != '$') {
                result += text[at];
            } else if (found != m_volumes.end()) {
                result += entry(found->second);
                at = end - 1;
            } else {
                result += m_device;
            }
        }
        return result;
    }

    std::vector<std::string> expand(const std::vector<std::string>& tokens) const {
        std::vector<std::string> result;
        for (const std::string& token : tokens) {
            const size_t open = token.find('{');
            const size_t close = token.find('}', open);
            const std::string braces =
                open == std::string::npos ? "" : token.substr(open, close - open + 1);
            const long long count = braces.empty() ? 1 : number(braces.substr(1, close - open - 1));
            for (long long i = 0; i < count; ++i) {
                std::string each = token;
                for (size_t at; !braces.empty() && (at = each.find(braces)) != std::string::npos;) {
                    each.replace(at, braces.size(), std::to_string(i));
                }
                result.push_back(each);
            }
        }
        return result;
    }

    // "" when `got` is the answer `want` names.
    std::string expect(const std::string& got, const std::string& want) const {
        const bool passed = want == "ok"
                                ? got[0] != 'E'
                                : got == (want[0] == 'E' ? want : std::to_string(idOrNumber(want)));
        return passed ? "" : "got " + got;
    }

    std::string perform(std::vector<std::string> args) {
        std::string want = "ok";
        if (args.back()[0] == '=') {
            want = args.back().substr(1);
            args.pop_back();
        }
        const std::string verb = args.front();
        args.erase(args.begin());
        const auto arg = [&](size_t i) { return i < args.size() ? args[i] : std::string(); };
        if (verb == "mk") {
            return makeVolumes(args, want);
        }
        if (verb == "rn") {
            return rename(args, want);
        }
        if (verb == "rm") {
            int32_t volId = idOrNumber(arg(0));
            return expect(deviceRequest(UBI_IOCRMVOL, &volId), want);
        }
        if (verb == "reattach") {
            closeAll();
            return m_reattach() ? "" : "the device did not come back";
        }
        if (verb == "sys") {
            std::string failure;
            for (size_t i = 1; i < args.size(); ++i) {
                const size_t equals = args[i].find('=');
                const std::string key = args[i].substr(0, equals);
                const std::string got = attribute(path("/sys/class/ubi/" + args[0] + "/" + key));
                if (equals == std::string::npos ||
                    got != value(args[i].substr(equals + 1)) + "\n") {
                    failure += (failure.empty() ? "" : ", ") + key + " " + quoted(got);
                }
            }
            return failure;
        }
        if (verb == "vols") {
            std::map<std::string, int> expected;
            std::map<std::string, int> got = volumeIds();
            for (const std::string& each : args) {
                const size_t colon = each.find(':');
                const std::string name = word(each.substr(0, colon));
                expected[name] =
                    colon == std::string::npos ? -1 : idOrNumber(each.substr(colon + 1));
                if (colon == std::string::npos && got.count(name) != 0) {
                    got[name] = -1;
                }
            }
            std::string shown;
            for (const auto& [name, id] : got) {
                shown += " " + quoted(name) + (id < 0 ? "" : ":" + std::to_string(id));
            }
            return got == expected ? "" : "volumes" + shown;
        }
        if (verb == "ls") {
            std::vector<std::string> expected;
            std::set<std::string> named;
            for (size_t i = 1; i < args.size(); ++i) {
                named.insert(path(args[i].substr(args[i][0] == '!' ? 1 : 0)));
                if (args[i][0] != '!') {
                    expected.push_back(path(args[i]));
                }
            }
            std::vector<std::string> seen;
            std::string shown;
            for (const std::string& name : list(path(arg(0)))) {
                if (named.count(name) != 0) {
                    seen.push_back(name);
                    shown += " " + name;
                }
            }
            return seen == expected ? "" : "listed" + shown;
        }
        if (verb == "open") {
            const std::map<std::string, int> modes = {{"ro", O_RDONLY},
                                                      {"rw", O_RDWR},
                                                      {"wo", O_WRONLY},
                                                      {"dir", O_RDONLY | O_DIRECTORY}};
            const int volId = arg(1)[0] == '/' ? -1 : idOrNumber(arg(1));
            const int fd = m_kernel.open(
                (volId >= 0 ? "/dev/" + entry(volId) : path(arg(1))).c_str(), modes.at(arg(2)));
            const std::string got = result(fd);
            if (fd >= 0) {
                m_handles[arg(0)] = {fd, volId, 0, ""};
            }
            return expect(got, want);
        }
        Handle& handle = m_handles.at(arg(0));
        if (verb == "close") {
            return expect(result(m_kernel.close(std::exchange(handle.fd, -1))), want);
        }
        if (verb == "got") {
            return handle.text == word(arg(1)) + "\n" ? "" : "got " + quoted(handle.text);
        }
        if (verb == "ioctl") {
            int64_t one = 1;
            ubi_mkvol_req record = LinuxFlash::makeVolumeRequest("cf-wrong", UBI_DYNAMIC_VOLUME, 1);
            const std::map<std::string, std::pair<unsigned long, void*>> requests = {
                {"volup", {UBI_IOCVOLUP, &one}},
                {"mkvol", {UBI_IOCMKVOL, &record}},
                {"unknown", {_IOW('o', 99, int32_t), &one}}};
            const auto [code, argument] = requests.at(arg(1));
            return expect(
                result(m_kernel.ioctl(handle.fd, code, arg(2) == "null" ? nullptr : argument)),
                want);
        }
        const long long count = number(arg(1));
        if (verb == "volup") {
            int64_t bytes = count;
            const std::string got = result(m_kernel.ioctl(handle.fd, UBI_IOCVOLUP, &bytes));
            if (got == "0" && handle.volume >= 0) {
                m_updates[handle.volume] = {++m_seeds, 0};
            }
            return expect(got, want);
        }
        require(count >= 0 && (verb == "write" || verb == "read" || verb == "readall"));
        if (verb == "write") {
            Update& update = m_updates[handle.volume];
            std::vector<uint8_t> data(static_cast<size_t>(count) + 1);
            for (size_t i = 0; i < data.size(); ++i) {
                data[i] = patternByte(update.length + i, update.seed);
            }
            const ssize_t written = m_kernel.write(handle.fd, data.data(), data.size() - 1);
            const std::string got = result(written);
            update.length += written > 0 ? static_cast<unsigned long long>(written) : 0;
            return expect(got, want);
        }
        return read(handle, static_cast<size_t>(count), verb == "readall", want);
    }

    std::string makeVolumes(const std::vector<std::string>& args, const std::string& want) {
        const bool isStatic = args.at(0) == "static";
        const long long bytes = number(args.at(isStatic ? 1 : 0));
        std::vector<std::string> names;
        std::map<std::string, int> fields;
        for (size_t i = isStatic ? 2 : 1; i < args.size(); ++i) {
            const size_t equals = args[i].find('=');
            if (equals == std::string::npos) {
                names.push_back(args[i]);
            } else {
                fields[args[i].substr(0, equals)] = idOrNumber(args[i].substr(equals + 1));
            }
        }
        for (const std::string& name : names) {
            ubi_mkvol_req request = LinuxFlash::makeVolumeRequest(
                word(name), isStatic ? UBI_STATIC_VOLUME : UBI_DYNAMIC_VOLUME, bytes);
            const std::map<std::string, std::function<void(int)>> setters = {
                {"vol_id", [&](int value) { request.vol_id = value; }},
                {"alignment", [&](int value) { request.alignment = value; }},
                {"vol_type", [&](int value) { request.vol_type = static_cast<int8_t>(value); }},
                {"name_len", [&](int value) { request.name_len = static_cast<int16_t>(value); }},
                {"flags", [&](int value) { request.flags = static_cast<uint8_t>(value); }},
                {"nul", [&](int value) { request.name[value] = '\0'; }}};
            for (const auto& [field, value] : fields) {
                setters.at(field)(value);
            }
            std::string got = deviceRequest(UBI_IOCMKVOL, &request);
            if (got == "0") {
                m_volumes[name] = request.vol_id;
                got = std::to_string(request.vol_id);
            }
            const std::string failure = expect(got, want);
            if (!failure.empty()) {
                return name + ": " + failure;
            }
        }
        return "";
    }

    std::string rename(const std::vector<std::string>& args, const std::string& want) {
        ubi_rnvol_req request = {};
        std::map<std::string, long long> fields;
        for (const std::string& each : args) {
            const size_t equals = each.find('=');
            const size_t colon = each.find(':');
            if (equals != std::string::npos) {
                fields[each.substr(0, equals)] = number(each.substr(equals + 1));
                continue;
            }
            require(colon != std::string::npos && request.count < UBI_MAX_RNVOL);
            const std::string name = word(each.substr(colon + 1));
            const int32_t at = request.count++;
            request.ents[at].vol_id = idOrNumber(each.substr(0, colon));
            request.ents[at].name_len = static_cast<int16_t>(name.size());
            memcpy(request.ents[at].name, name.data(),
                   std::min(name.size(), sizeof request.ents[at].name));
        }
        request.count =
            static_cast<int32_t>(fields.count("count") != 0 ? fields["count"] : request.count);
        request.ents[0].name_len = static_cast<int16_t>(
            fields.count("len") != 0 ? fields["len"] : request.ents[0].name_len);
        return expect(deviceRequest(UBI_IOCRNVOL, &request), want);
    }

    // Reads of `piece` bytes, once or to the end; a volume must give its data, anything else's
    // bytes are kept as the handle's text.
    std::string read(Handle& handle, size_t piece, bool toEnd, const std::string& want) {
        std::vector<uint8_t> buffer(piece + 1);
        const Update update = m_updates.count(handle.volume) ? m_updates[handle.volume] : Update{};
        std::string failure;
        ssize_t got = 0;
        long long total = 0;
        for (int reads = 0; reads < (toEnd ? 1 << 16 : 1); ++reads) {
            got = m_kernel.read(handle.fd, buffer.data(), piece);
            for (ssize_t i = 0; i < got; ++i, ++handle.position) {
                const unsigned long long at = handle.position;
                if (handle.volume < 0) {
                    handle.text += static_cast<char>(buffer[i]);
                } else if (failure.empty() &&
                           buffer[i] !=
                               (at < update.length ? patternByte(at, update.seed) : 0xFF)) {
                    failure = "byte " + std::to_string(at) + " is not the data written";
                }
            }
            total += got > 0 ? got : 0;
            if (got <= 0) {
                break;
            }
        }
        const std::string answer = expect(result(got < 0 ? got : total), want);
        return got > 0 && toEnd ? "no end" : answer.empty() ? failure : answer;
    }

    std::string deviceRequest(unsigned long request, void* argument) {
        const int fd = m_kernel.open(("/dev/" + m_device).c_str(), O_RDONLY);
        const std::string got = result(fd < 0 ? fd : m_kernel.ioctl(fd, request, argument));
        if (fd >= 0) {
            m_kernel.close(fd);
        }
        return got;
    }

    void closeAll() {
        for (const auto& [name, handle] : m_handles) {
            if (handle.fd >= 0) {
                m_kernel.close(handle.fd);
            }
        }
        m_handles.clear();
    }

    // A whole attribute, newline included.
    std::string attribute(const std::string& path) {
        LinuxFlash::KernelFile file(m_kernel, path, O_RDONLY);
        std::string content;
        char buffer[256];
        ssize_t length = file.isOpen() ? 1 : -1;
        while (length > 0 && (length = file.read(buffer, sizeof buffer)) > 0) {
            content.append(buffer, static_cast<size_t>(length));
        }
        return length == 0 ? content : "(unreadable)";
    }

    std::vector<std::string> list(const std::string& path) {
        std::vector<std::string> entries;
        const auto directory = m_kernel.openDirectory(path.c_str());
        for (std::string entry; directory && directory->next(entry);) {
            entries.push_back(entry);
        }
        return entries;
    }

    // Volume name to id, from the device's sysfs directory.
    std::map<std::string, int> volumeIds() {
        std::map<std::string, int> ids;
        for (const std::string& each : list("/sys/class/ubi/" + m_device)) {
            const std::string name = each.rfind(m_device + "_", 0) == 0
                                         ? attribute("/sys/class/ubi/" + each + "/name")
                                         : "";
            if (isLine(name)) {
                ids[name.substr(0, name.size() - 1)] = std::stoi(each.substr(m_device.size() + 1));
            }
        }
        return ids;
    }

    LinuxFlash::KernelInterface& m_kernel;
    const std::string m_device;
    const Reattach& m_reattach;
    std::vector<Check>& m_checks;
    std::string m_case;
    std::map<char, long long> m_geometry;
    std::map<std::string, int> m_volumes;    // by the name they were made with
    std::map<std::string, Handle> m_handles; // a closed one keeps fd -1
    std::map<int, Update> m_updates;         // by volume id
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
