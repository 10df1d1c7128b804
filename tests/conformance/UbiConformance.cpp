#include "conformance/UbiConformance.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "common/linuxFlash/UbiRequests.h"

namespace Sim {

namespace {

using LinuxFlash::KernelInterface;

std::string errnoName(int error) {
    static const std::map<int, const char*> names = {
        {0, "no error"},      {EACCES, "EACCES"},
        {EBADF, "EBADF"},     {EBUSY, "EBUSY"},
        {EEXIST, "EEXIST"},   {EFAULT, "EFAULT"},
        {EINVAL, "EINVAL"},   {EIO, "EIO"},
        {EISDIR, "EISDIR"},   {ENAMETOOLONG, "ENAMETOOLONG"},
        {ENFILE, "ENFILE"},   {ENODEV, "ENODEV"},
        {ENOENT, "ENOENT"},   {ENOSPC, "ENOSPC"},
        {ENOTDIR, "ENOTDIR"}, {ENOTTY, "ENOTTY"},
        {EPERM, "EPERM"},     {EROFS, "EROFS"}};
    const auto found = names.find(error);
    return found != names.end() ? found->second : "errno " + std::to_string(error);
}

std::vector<uint8_t> pattern(size_t size, unsigned seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 131 + seed * 29 + i / 251) & 0xFF);
    }
    return bytes;
}

// What a call returned: its value, or -1 with the errno it set.
struct Outcome {
    long long value;
    int error;
};

struct RenamePair {
    int volId;
    std::string name;
};

// One case's view of the device under test, and the checks it records.
class Session {
public:
    Session(KernelInterface& kernel, unsigned ubi, const std::string& caseName,
            std::vector<ConformanceCheck>& checks)
        : m_kernel(kernel), m_ubi(ubi), m_caseName(caseName), m_checks(checks) {}

    ~Session() {
        for (const int fd : m_fds) {
            m_kernel.close(fd);
        }
    }

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Removes every volume and reads the geometry; false when the device is unusable.
    bool prepare() {
        for (const auto& [name, id] : volumeIds()) {
            int32_t volId = id;
            const Outcome removed = deviceRequest(UBI_IOCRMVOL, &volId);
            if (removed.value != 0) {
                record("remove volume " + name + " before the case", false,
                       errnoName(removed.error));
                return false;
            }
        }
        const bool read = number(deviceAttribute("eraseblock_size"), leb) &&
                          number(deviceAttribute("avail_eraseblocks"), avail) &&
                          number(deviceAttribute("max_vol_count"), slots) &&
                          number(deviceAttribute("min_io_size"), minIo);
        if (!read || leb == 0 || slots == 0) {
            record("read the device's geometry", false, "unreadable sysfs attributes");
        }
        return read && leb != 0 && slots != 0;
    }

    unsigned long long leb = 0;
    unsigned long long avail = 0;
    unsigned long long slots = 0;
    unsigned long long minIo = 0;

    std::string deviceName() const { return "ubi" + std::to_string(m_ubi); }
    std::string volumeEntry(int volId) const { return deviceName() + "_" + std::to_string(volId); }
    std::string volumeNode(int volId) const { return "/dev/" + volumeEntry(volId); }

    ubi_mkvol_req mkvolRequest(const std::string& name, long long bytes,
                               int type = UBI_DYNAMIC_VOLUME) const {
        return LinuxFlash::makeVolumeRequest(name, type, bytes);
    }

    std::unique_ptr<ubi_rnvol_req> rnvolRequest(const std::vector<RenamePair>& pairs) const {
        auto request = std::make_unique<ubi_rnvol_req>();
        memset(request.get(), 0, sizeof *request);
        request->count = static_cast<int32_t>(pairs.size());
        for (size_t i = 0; i < pairs.size() && i < UBI_MAX_RNVOL; ++i) {
            request->ents[i].vol_id = pairs[i].volId;
            request->ents[i].name_len = static_cast<int16_t>(pairs[i].name.size());
            memcpy(request->ents[i].name, pairs[i].name.data(),
                   std::min(pairs[i].name.size(), sizeof request->ents[i].name));
        }
        return request;
    }

    Outcome mkvol(ubi_mkvol_req& request) { return deviceRequest(UBI_IOCMKVOL, &request); }
    Outcome rmvol(int volId) {
        int32_t id = volId;
        return deviceRequest(UBI_IOCRMVOL, &id);
    }
    Outcome rename(ubi_rnvol_req& request) { return deviceRequest(UBI_IOCRNVOL, &request); }

    // Makes a volume the case needs; its id, or -1 after recording the failure.
    int make(const std::string& name, long long bytes, int type = UBI_DYNAMIC_VOLUME) {
        ubi_mkvol_req request = mkvolRequest(name, bytes, type);
        const Outcome made = mkvol(request);
        if (made.value != 0) {
            record("make volume " + name, false, errnoName(made.error));
            return -1;
        }
        return request.vol_id;
    }

    // Makes a volume and fills it through a complete update.
    int makeFilled(const std::string& name, long long bytes, int type,
                   const std::vector<uint8_t>& data) {
        const int volId = make(name, bytes, type);
        if (volId < 0) {
            return -1;
        }
        const Outcome fd = open(volumeNode(volId), O_RDWR);
        const bool filled = fd.value >= 0 &&
                            volup(static_cast<int>(fd.value), data.size()).value == 0 &&
                            (data.empty() || write(static_cast<int>(fd.value), data).value ==
                                                 static_cast<long long>(data.size()));
        if (fd.value >= 0) {
            close(static_cast<int>(fd.value));
        }
        if (!filled) {
            record("fill volume " + name, false, "update failed");
        }
        return filled ? volId : -1;
    }

    Outcome open(const std::string& path, int flags) {
        errno = 0;
        const int fd = m_kernel.open(path.c_str(), flags);
        if (fd >= 0) {
            m_fds.insert(fd);
        }
        return {fd, fd < 0 ? errno : 0};
    }

    Outcome close(int fd) {
        m_fds.erase(fd);
        errno = 0;
        const int result = m_kernel.close(fd);
        return {result, result < 0 ? errno : 0};
    }

    Outcome volup(int fd, long long bytes) {
        int64_t count = bytes;
        errno = 0;
        const int result = m_kernel.ioctl(fd, UBI_IOCVOLUP, &count);
        return {result, result < 0 ? errno : 0};
    }

    Outcome ioctl(int fd, unsigned long request, void* argument) {
        errno = 0;
        const int result = m_kernel.ioctl(fd, request, argument);
        return {result, result < 0 ? errno : 0};
    }

    Outcome write(int fd, const std::vector<uint8_t>& data) {
        errno = 0;
        const ssize_t result = m_kernel.write(fd, data.data(), data.size());
        return {result, result < 0 ? errno : 0};
    }

    Outcome read(int fd, size_t count, std::vector<uint8_t>* data = nullptr) {
        std::vector<uint8_t> buffer(std::max<size_t>(count, 1));
        errno = 0;
        const ssize_t result = m_kernel.read(fd, buffer.data(), count);
        if (data != nullptr && result > 0) {
            data->insert(data->end(), buffer.begin(), buffer.begin() + result);
        }
        return {result, result < 0 ? errno : 0};
    }

    // Everything left to read, in pieces of `piece` bytes.
    std::vector<uint8_t> readAll(int fd, size_t piece) {
        std::vector<uint8_t> data;
        for (;;) {
            const Outcome got = read(fd, piece, &data);
            if (got.value <= 0) {
                break;
            }
        }
        return data;
    }

    // Volume name to id, from the device's sysfs directory.
    std::map<std::string, int> volumeIds() {
        std::map<std::string, int> ids;
        const std::unique_ptr<LinuxFlash::DirectoryStream> directory =
            m_kernel.openDirectory(("/sys/class/ubi/" + deviceName()).c_str());
        if (!directory) {
            return ids;
        }
        const std::string prefix = deviceName() + "_";
        std::string entry;
        while (directory->next(entry)) {
            if (entry.compare(0, prefix.size(), prefix) != 0) {
                continue;
            }
            std::string name;
            if (text("/sys/class/ubi/" + entry + "/name", name) && !name.empty()) {
                name.pop_back();
                ids[name] = std::stoi(entry.substr(prefix.size()));
            }
        }
        return ids;
    }

    std::set<std::string> volumeNames() {
        std::set<std::string> names;
        for (const auto& [name, id] : volumeIds()) {
            names.insert(name);
        }
        return names;
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

    // A whole attribute, newline included.
    bool text(const std::string& path, std::string& content) {
        const int fd = m_kernel.open(path.c_str(), O_RDONLY);
        if (fd < 0) {
            return false;
        }
        content.clear();
        char buffer[256];
        ssize_t length;
        while ((length = m_kernel.read(fd, buffer, sizeof buffer)) > 0) {
            content.append(buffer, static_cast<size_t>(length));
        }
        m_kernel.close(fd);
        return length == 0;
    }

    std::string deviceAttribute(const std::string& attribute) {
        std::string content;
        return text("/sys/class/ubi/" + deviceName() + "/" + attribute, content) ? content
                                                                                 : "(unreadable)";
    }

    std::string volumeAttribute(int volId, const std::string& attribute) {
        std::string content;
        return text("/sys/class/ubi/" + volumeEntry(volId) + "/" + attribute, content)
                   ? content
                   : "(unreadable)";
    }

    void expectOk(const Outcome& outcome, const std::string& what) {
        record(what, outcome.value >= 0, "expected success, got " + errnoName(outcome.error));
    }

    void expectError(const Outcome& outcome, int error, const std::string& what) {
        const bool passed = outcome.value == -1 && outcome.error == error;
        record(what, passed,
               "expected " + errnoName(error) + ", got " +
                   (outcome.value == -1 ? errnoName(outcome.error)
                                        : "result " + std::to_string(outcome.value)));
    }

    void expectValue(const Outcome& outcome, long long value, const std::string& what) {
        record(
            what, outcome.value == value,
            "expected " + std::to_string(value) + ", got " +
                (outcome.value == -1 ? errnoName(outcome.error) : std::to_string(outcome.value)));
    }

    template <typename T>
    void expectEqual(const T& actual, const T& expected, const std::string& what) {
        record(what, actual == expected, "expected " + show(expected) + ", got " + show(actual));
    }

    void expectTrue(bool condition, const std::string& what) { record(what, condition, "not so"); }

    void expectAttribute(int volId, const std::string& attribute, const std::string& value) {
        expectEqual(volumeAttribute(volId, attribute), value + "\n", attribute + " of volume");
    }

    void expectVolumes(const std::set<std::string>& names, const std::string& what) {
        expectEqual(volumeNames(), names, what);
    }

    void skip(const std::string& why) { record("skipped: " + why, true, ""); }

    void record(const std::string& check, bool passed, const std::string& detail) {
        m_checks.push_back({m_caseName, check, passed, passed ? "" : detail});
    }

private:
    static bool number(const std::string& text, unsigned long long& value) {
        if (text.empty() || text.back() != '\n') {
            return false;
        }
        value = std::stoull(text);
        return true;
    }

    static std::string show(const std::string& value) { return "\"" + value + "\""; }
    static std::string show(long long value) { return std::to_string(value); }
    static std::string show(const std::vector<uint8_t>& value) {
        return std::to_string(value.size()) + " bytes";
    }
    static std::string show(const std::set<std::string>& names) {
        std::string joined = "{";
        for (const std::string& name : names) {
            joined += (joined.size() > 1 ? ", " : "") + name;
        }
        return joined + "}";
    }
    static std::string show(const std::map<std::string, int>& ids) {
        std::string joined = "{";
        for (const auto& [name, id] : ids) {
            joined += (joined.size() > 1 ? ", " : "") + name + ":" + std::to_string(id);
        }
        return joined + "}";
    }

    Outcome deviceRequest(unsigned long request, void* argument) {
        const int fd = m_kernel.open(("/dev/" + deviceName()).c_str(), O_RDONLY);
        if (fd < 0) {
            return {-1, errno};
        }
        errno = 0;
        const int result = m_kernel.ioctl(fd, request, argument);
        const int error = result < 0 ? errno : 0;
        m_kernel.close(fd);
        return {result, error};
    }

    KernelInterface& m_kernel;
    unsigned m_ubi;
    std::string m_caseName;
    std::vector<ConformanceCheck>& m_checks;
    std::set<int> m_fds;
};

struct Case {
    const char* name;
    std::function<void(Session&)> run;
};

std::string repeat(char c, size_t count) {
    return std::string(count, c);
}

std::string str(unsigned long long value) {
    return std::to_string(value);
}

const std::vector<Case>& cases() {
    static const std::vector<Case> table = {
        {"mkvol makes a dynamic volume with the lowest free id",
         [](Session& s) {
             ubi_mkvol_req request =
                 s.mkvolRequest("cf-dynamic", static_cast<long long>(2 * s.leb + 1));
             s.expectOk(s.mkvol(request), "mkvol");
             s.expectEqual<long long>(request.vol_id, 0, "id written back into vol_id");
             s.expectAttribute(0, "name", "cf-dynamic");
             s.expectAttribute(0, "type", "dynamic");
             s.expectAttribute(0, "reserved_ebs", "3");
             s.expectAttribute(0, "data_bytes", str(3 * s.leb));
             s.expectAttribute(0, "upd_marker", "0");
             s.expectAttribute(0, "corrupted", "0");
             s.expectAttribute(0, "alignment", "1");
             s.expectAttribute(0, "usable_eb_size", str(s.leb));
             s.expectEqual(s.deviceAttribute("avail_eraseblocks"), str(s.avail - 3) + "\n",
                           "eraseblocks reserved");
             const std::vector<std::string> top = s.list("/sys/class/ubi");
             s.expectTrue(std::count(top.begin(), top.end(), s.volumeEntry(0)) == 1,
                          "volume entry listed in /sys/class/ubi");
             const std::vector<std::string> own = s.list("/sys/class/ubi/" + s.deviceName());
             s.expectTrue(std::count(own.begin(), own.end(), s.volumeEntry(0)) == 1,
                          "volume entry listed in the device's directory");
             std::string nested;
             s.expectTrue(
                 s.text("/sys/class/ubi/" + s.deviceName() + "/" + s.volumeEntry(0) + "/name",
                        nested) &&
                     nested == "cf-dynamic\n",
                 "nested entry is the same volume");
             const Outcome fd = s.open(s.volumeNode(0), O_RDONLY);
             s.expectOk(fd, "volume node opens");
             std::vector<uint8_t> start;
             s.expectValue(s.read(static_cast<int>(fd.value), 16, &start), 16, "new volume reads");
             s.expectEqual(start, std::vector<uint8_t>(16, 0xFF), "new dynamic volume reads 0xFF");
         }},
        {"mkvol makes an empty static volume",
         [](Session& s) {
             const int volId = s.make("cf-static", 1, UBI_STATIC_VOLUME);
             s.expectAttribute(volId, "type", "static");
             s.expectAttribute(volId, "data_bytes", "0");
             s.expectAttribute(volId, "reserved_ebs", "1");
             const Outcome fd = s.open(s.volumeNode(volId), O_RDONLY);
             s.expectValue(s.read(static_cast<int>(fd.value), 16), 0, "reads nothing");
         }},
        {"mkvol rounds the size up to whole eraseblocks",
         [](Session& s) {
             const int exact = s.make("cf-exact", static_cast<long long>(s.leb));
             const int over = s.make("cf-over", static_cast<long long>(s.leb + 1));
             s.expectAttribute(exact, "reserved_ebs", "1");
             s.expectAttribute(over, "reserved_ebs", "2");
         }},
        {"mkvol gives the lowest free id",
         [](Session& s) {
             s.make("cf-a", 1);
             const int b = s.make("cf-b", 1);
             s.make("cf-c", 1);
             s.expectOk(s.rmvol(b), "rmvol");
             ubi_mkvol_req request = s.mkvolRequest("cf-d", 1);
             s.expectOk(s.mkvol(request), "mkvol");
             s.expectEqual<long long>(request.vol_id, b, "freed id reused");
         }},
        {"mkvol takes an explicit id within the volume table",
         [](Session& s) {
             ubi_mkvol_req last = s.mkvolRequest("cf-last", 1);
             last.vol_id = static_cast<int32_t>(s.slots - 1);
             s.expectOk(s.mkvol(last), "last slot");
             s.expectEqual<long long>(last.vol_id, static_cast<long long>(s.slots - 1), "id kept");
             ubi_mkvol_req beyond = s.mkvolRequest("cf-beyond", 1);
             beyond.vol_id = static_cast<int32_t>(s.slots);
             s.expectError(s.mkvol(beyond), EINVAL, "id past the table");
             ubi_mkvol_req negative = s.mkvolRequest("cf-negative", 1);
             negative.vol_id = -2;
             s.expectError(s.mkvol(negative), EINVAL, "negative id other than auto");
             s.expectVolumes({"cf-last"}, "only the good request made a volume");
         }},
        {"mkvol checks its arguments",
         [](Session& s) {
             const auto refused = [&](const std::string& what, int error,
                                      const std::function<void(ubi_mkvol_req&)>& change) {
                 ubi_mkvol_req request = s.mkvolRequest("cf-check", 1);
                 change(request);
                 s.expectError(s.mkvol(request), error, what);
             };
             refused("bytes < 0", EINVAL, [](ubi_mkvol_req& r) { r.bytes = -1; });
             refused("alignment < 0", EINVAL, [](ubi_mkvol_req& r) { r.alignment = -1; });
             refused("vol_type < 0", EINVAL, [](ubi_mkvol_req& r) { r.vol_type = -1; });
             refused("name_len < 0", EINVAL, [](ubi_mkvol_req& r) { r.name_len = -1; });
             refused("alignment 0", EINVAL, [](ubi_mkvol_req& r) { r.alignment = 0; });
             refused("bytes 0", EINVAL, [](ubi_mkvol_req& r) { r.bytes = 0; });
             refused("vol_type 0", EINVAL, [](ubi_mkvol_req& r) { r.vol_type = 0; });
             refused("vol_type 5", EINVAL, [](ubi_mkvol_req& r) { r.vol_type = 5; });
             refused("unknown flag", EINVAL, [](ubi_mkvol_req& r) { r.flags = 2; });
             refused("skip-check flag on a dynamic volume", EINVAL,
                     [](ubi_mkvol_req& r) { r.flags = UBI_VOL_SKIP_CRC_CHECK_FLG; });
             refused("alignment above the eraseblock size", EINVAL,
                     [&](ubi_mkvol_req& r) { r.alignment = static_cast<int32_t>(s.leb + 1); });
             refused("name_len 0", EINVAL, [](ubi_mkvol_req& r) {
                 memset(r.name, 0, sizeof r.name);
                 r.name_len = 0;
             });
             refused("name starting with NUL", EINVAL, [](ubi_mkvol_req& r) { r.name[0] = '\0'; });
             refused("name_len longer than the name", EINVAL,
                     [](ubi_mkvol_req& r) { r.name_len = 12; });
             refused("name_len shorter than the name", EINVAL,
                     [](ubi_mkvol_req& r) { r.name_len = 3; });
             refused("name of 128 bytes", ENAMETOOLONG, [](ubi_mkvol_req& r) {
                 memset(r.name, 'n', sizeof r.name);
                 r.name_len = 128;
             });
             refused("name_len 200", ENAMETOOLONG, [](ubi_mkvol_req& r) { r.name_len = 200; });
             if (s.minIo > 1) {
                 refused("alignment not a multiple of the I/O unit", EINVAL, [&](ubi_mkvol_req& r) {
                     r.alignment = static_cast<int32_t>(s.minIo + 1);
                 });
             }
             s.expectVolumes({}, "no volume made");
         }},
        {"mkvol takes a name of 127 bytes and the skip-check flag on a static volume",
         [](Session& s) {
             const std::string longest = repeat('L', 127);
             const int volId = s.make(longest, 1);
             s.expectAttribute(volId, "name", longest);
             ubi_mkvol_req request = s.mkvolRequest("cf-skip", 1, UBI_STATIC_VOLUME);
             request.flags = UBI_VOL_SKIP_CRC_CHECK_FLG;
             s.expectOk(s.mkvol(request), "skip-check static volume");
         }},
        {"mkvol refuses a used id or name",
         [](Session& s) {
             const int volId = s.make("cf-used", 1);
             ubi_mkvol_req sameId = s.mkvolRequest("cf-other", 1);
             sameId.vol_id = volId;
             s.expectError(s.mkvol(sameId), EEXIST, "used id");
             ubi_mkvol_req sameName = s.mkvolRequest("cf-used", 1);
             s.expectError(s.mkvol(sameName), EEXIST, "used name");
             ubi_mkvol_req badAndUsed = s.mkvolRequest("cf-used", 0);
             s.expectError(s.mkvol(badAndUsed), EINVAL, "argument checks come first");
             ubi_mkvol_req prefix = s.mkvolRequest("cf-use", 1);
             s.expectOk(s.mkvol(prefix), "a prefix of a used name is another name");
         }},
        {"mkvol refuses more eraseblocks than are free",
         [](Session& s) {
             ubi_mkvol_req tooBig =
                 s.mkvolRequest("cf-big", static_cast<long long>((s.avail + 1) * s.leb));
             s.expectError(s.mkvol(tooBig), ENOSPC, "one eraseblock too many");
             ubi_mkvol_req all = s.mkvolRequest("cf-all", static_cast<long long>(s.avail * s.leb));
             s.expectOk(s.mkvol(all), "every free eraseblock");
             s.expectEqual(s.deviceAttribute("avail_eraseblocks"), std::string("0\n"), "none left");
             ubi_mkvol_req more = s.mkvolRequest("cf-more", 1);
             s.expectError(s.mkvol(more), ENOSPC, "one byte more");
         }},
        {"mkvol refuses when every id is taken",
         [](Session& s) {
             if (s.avail < s.slots) {
                 s.skip("fewer free eraseblocks than volume ids");
                 return;
             }
             for (unsigned long long i = 0; i < s.slots; ++i) {
                 if (s.make("cf-" + str(i), 1) < 0) {
                     return;
                 }
             }
             ubi_mkvol_req auto_ = s.mkvolRequest("cf-auto", 1);
             s.expectError(s.mkvol(auto_), ENFILE, "no free id");
             ubi_mkvol_req explicit_ = s.mkvolRequest("cf-explicit", 1);
             explicit_.vol_id = 0;
             s.expectError(s.mkvol(explicit_), EEXIST, "an explicit id is merely used");
         }},
        {"rmvol removes a volume at once",
         [](Session& s) {
             const int volId = s.make("cf-gone", static_cast<long long>(2 * s.leb));
             s.expectOk(s.rmvol(volId), "rmvol");
             s.expectVolumes({}, "volume gone from sysfs");
             const std::vector<std::string> top = s.list("/sys/class/ubi");
             s.expectTrue(std::count(top.begin(), top.end(), s.volumeEntry(volId)) == 0,
                          "entry gone from /sys/class/ubi");
             s.expectError(s.open(s.volumeNode(volId), O_RDONLY), ENOENT, "node gone");
             s.expectEqual(s.deviceAttribute("avail_eraseblocks"), str(s.avail) + "\n",
                           "eraseblocks free again");
         }},
        {"rmvol refuses missing and out-of-range ids",
         [](Session& s) {
             s.expectError(s.rmvol(0), ENODEV, "free id");
             s.expectError(s.rmvol(static_cast<int>(s.slots)), EINVAL, "id past the table");
             s.expectError(s.rmvol(-1), EINVAL, "negative id");
         }},
        {"rmvol refuses a volume that is open",
         [](Session& s) {
             const int volId = s.make("cf-open", 1);
             const Outcome reader = s.open(s.volumeNode(volId), O_RDONLY);
             s.expectError(s.rmvol(volId), EBUSY, "open for reading");
             s.close(static_cast<int>(reader.value));
             const Outcome writer = s.open(s.volumeNode(volId), O_RDWR);
             s.expectError(s.rmvol(volId), EBUSY, "open for writing");
             s.close(static_cast<int>(writer.value));
             s.expectOk(s.rmvol(volId), "closed again");
         }},
        {"rename with count 0 does nothing; counts out of range are refused",
         [](Session& s) {
             const int volId = s.make("cf-keep", 1);
             auto none = s.rnvolRequest({});
             s.expectOk(s.rename(*none), "count 0");
             auto negative = s.rnvolRequest({{volId, "cf-new"}});
             negative->count = -1;
             s.expectError(s.rename(*negative), EINVAL, "count -1");
             auto over = s.rnvolRequest({{volId, "cf-new"}});
             over->count = UBI_MAX_RNVOL + 1;
             s.expectError(s.rename(*over), EINVAL, "count 33");
             s.expectVolumes({"cf-keep"}, "nothing renamed");
         }},
        {"rename renames one volume and swaps two in one step",
         [](Session& s) {
             const int a = s.make("cf-a", 1);
             const int b = s.make("cf-b", 1);
             auto one = s.rnvolRequest({{a, "cf-x"}});
             s.expectOk(s.rename(*one), "rename");
             s.expectAttribute(a, "name", "cf-x");
             auto swap = s.rnvolRequest({{a, "cf-b"}, {b, "cf-x"}});
             s.expectOk(s.rename(*swap), "swap");
             s.expectAttribute(a, "name", "cf-b");
             s.expectAttribute(b, "name", "cf-x");
         }},
        {"rename checks its entries",
         [](Session& s) {
             const int volId = s.make("cf-entry", 1);
             auto negativeId = s.rnvolRequest({{-1, "cf-new"}});
             s.expectError(s.rename(*negativeId), EINVAL, "negative id");
             auto beyond = s.rnvolRequest({{static_cast<int>(s.slots), "cf-new"}});
             s.expectError(s.rename(*beyond), EINVAL, "id past the table");
             auto negativeLength = s.rnvolRequest({{volId, "cf-new"}});
             negativeLength->ents[0].name_len = -1;
             s.expectError(s.rename(*negativeLength), EINVAL, "name_len < 0");
             auto tooLong = s.rnvolRequest({{volId, repeat('n', 128)}});
             s.expectError(s.rename(*tooLong), ENAMETOOLONG, "name of 128 bytes");
             auto embeddedNul = s.rnvolRequest({{volId, std::string("cf\0new", 6)}});
             s.expectError(s.rename(*embeddedNul), EINVAL, "NUL inside name_len");
             auto longest = s.rnvolRequest({{volId, repeat('m', 127)}});
             s.expectOk(s.rename(*longest), "name of 127 bytes");
             s.expectAttribute(volId, "name", repeat('m', 127));
             auto cut = s.rnvolRequest({{volId, "cf-cut-here"}});
             cut->ents[0].name_len = 6;
             s.expectOk(s.rename(*cut), "bytes past name_len");
             s.expectAttribute(volId, "name", "cf-cut");
             auto empty = s.rnvolRequest({{volId, ""}});
             s.expectOk(s.rename(*empty), "an empty new name is taken");
             s.expectAttribute(volId, "name", "");
         }},
        {"rename refuses a repeated id or new name",
         [](Session& s) {
             const int a = s.make("cf-a", 1);
             const int b = s.make("cf-b", 1);
             auto sameId = s.rnvolRequest({{a, "cf-x"}, {a, "cf-y"}});
             s.expectError(s.rename(*sameId), EINVAL, "repeated id");
             auto sameName = s.rnvolRequest({{a, "cf-x"}, {b, "cf-x"}});
             s.expectError(s.rename(*sameName), EINVAL, "repeated new name");
             s.expectVolumes({"cf-a", "cf-b"}, "nothing renamed");
         }},
        {"rename is all or nothing when a volume is missing",
         [](Session& s) {
             const int a = s.make("cf-a", 1);
             const int b = s.make("cf-b", 1);
             auto request = s.rnvolRequest({{a, "cf-x"}, {b, "cf-y"}, {b + 5, "cf-z"}});
             s.expectError(s.rename(*request), ENODEV, "missing third volume");
             s.expectVolumes({"cf-a", "cf-b"}, "nothing renamed");
         }},
        {"rename skips unchanged names",
         [](Session& s) {
             const int a = s.make("cf-a", 1);
             const int b = s.make("cf-b", 1);
             auto same = s.rnvolRequest({{a, "cf-a"}});
             s.expectOk(s.rename(*same), "only an unchanged name");
             auto mixed = s.rnvolRequest({{a, "cf-a"}, {b, "cf-c"}});
             s.expectOk(s.rename(*mixed), "unchanged and changed");
             s.expectVolumes({"cf-a", "cf-c"}, "only the changed one renamed");
         }},
        {"rename removes the volume that holds a new name",
         [](Session& s) {
             const int a = s.make("cf-a", 1);
             const int b = s.make("cf-b", static_cast<long long>(3 * s.leb));
             auto request = s.rnvolRequest({{a, "cf-b"}});
             s.expectOk(s.rename(*request), "rename onto a used name");
             s.expectEqual(s.volumeIds(), std::map<std::string, int>{{"cf-b", a}},
                           "holder removed, renamed volume keeps its id");
             s.expectError(s.open(s.volumeNode(b), O_RDONLY), ENOENT, "holder's node gone");
             s.expectEqual(s.deviceAttribute("avail_eraseblocks"), str(s.avail - 1) + "\n",
                           "holder's eraseblocks free");
         }},
        {"rename replaces a generation in one step",
         [](Session& s) {
             const int current = s.make("kernel", 1, UBI_STATIC_VOLUME);
             const int fresh = s.make("kernel_new", 1, UBI_STATIC_VOLUME);
             s.make("kernel_prev", 1, UBI_STATIC_VOLUME);
             auto request = s.rnvolRequest({{current, "kernel_prev"}, {fresh, "kernel"}});
             s.expectOk(s.rename(*request), "rename");
             s.expectEqual(s.volumeIds(),
                           std::map<std::string, int>{{"kernel", fresh}, {"kernel_prev", current}},
                           "old prev removed, kernel became prev, new became kernel");
         }},
        {"rename refuses while the holder of a new name is open",
         [](Session& s) {
             const int a = s.make("cf-a", 1);
             const int b = s.make("cf-b", 1);
             const int c = s.make("cf-c", 1);
             const Outcome reader = s.open(s.volumeNode(b), O_RDONLY);
             auto request = s.rnvolRequest({{c, "cf-d"}, {a, "cf-b"}});
             s.expectError(s.rename(*request), EBUSY, "holder open");
             s.expectVolumes({"cf-a", "cf-b", "cf-c"}, "nothing changed");
             s.close(static_cast<int>(reader.value));
         }},
        {"rename takes an open volume but not one being updated",
         [](Session& s) {
             const int a = s.make("cf-a", 1);
             const Outcome writer = s.open(s.volumeNode(a), O_RDWR);
             auto first = s.rnvolRequest({{a, "cf-x"}});
             s.expectOk(s.rename(*first), "volume open for writing");
             s.expectOk(s.volup(static_cast<int>(writer.value), 10), "update started");
             auto second = s.rnvolRequest({{a, "cf-y"}});
             s.expectError(s.rename(*second), EBUSY, "volume being updated");
             s.expectVolumes({"cf-x"}, "second rename did nothing");
         }},
        {"rename takes 32 entries",
         [](Session& s) {
             if (s.avail < UBI_MAX_RNVOL) {
                 s.skip("fewer than 32 free eraseblocks");
                 return;
             }
             std::vector<RenamePair> pairs;
             std::set<std::string> renamed;
             for (int i = 0; i < UBI_MAX_RNVOL; ++i) {
                 const int volId = s.make("cf-" + std::to_string(i), 1);
                 if (volId < 0) {
                     return;
                 }
                 pairs.push_back({volId, "cf-renamed-" + std::to_string(i)});
                 renamed.insert("cf-renamed-" + std::to_string(i));
             }
             auto request = s.rnvolRequest(pairs);
             s.expectOk(s.rename(*request), "32 entries");
             s.expectVolumes(renamed, "all renamed");
         }},
        {"a volume node has one writer at a time",
         [](Session& s) {
             const int volId = s.make("cf-open", 1);
             const std::string node = s.volumeNode(volId);
             const Outcome writer = s.open(node, O_RDWR);
             s.expectOk(writer, "first writer");
             s.expectError(s.open(node, O_RDWR), EBUSY, "second writer");
             s.expectError(s.open(node, O_WRONLY), EBUSY, "write-only second writer");
             s.expectOk(s.open(node, O_RDONLY), "reader beside the writer");
             s.expectOk(s.open(node, O_RDONLY), "second reader");
             s.close(static_cast<int>(writer.value));
             s.expectOk(s.open(node, O_RDWR), "writer after the first closed");
             s.expectError(s.open("/dev/" + s.deviceName() + "_" + str(s.slots - 1), O_RDONLY),
                           ENOENT, "node of a free id");
         }},
        {"an update needs a writable handle and a size within the volume",
         [](Session& s) {
             const int volId = s.make("cf-update", static_cast<long long>(2 * s.leb));
             const Outcome reader = s.open(s.volumeNode(volId), O_RDONLY);
             s.expectError(s.volup(static_cast<int>(reader.value), 1), EROFS, "read-only handle");
             s.close(static_cast<int>(reader.value));
             const Outcome writer = s.open(s.volumeNode(volId), O_RDWR);
             const int fd = static_cast<int>(writer.value);
             s.expectError(s.volup(fd, -1), EINVAL, "negative size");
             s.expectError(s.volup(fd, static_cast<long long>(2 * s.leb + 1)), EINVAL,
                           "one byte over the reserved size");
             s.expectOk(s.volup(fd, static_cast<long long>(2 * s.leb)), "the reserved size");
         }},
        {"an update needs the volume to itself",
         [](Session& s) {
             const int volId = s.make("cf-update", 1);
             const Outcome reader = s.open(s.volumeNode(volId), O_RDONLY);
             const Outcome writer = s.open(s.volumeNode(volId), O_RDWR);
             s.expectError(s.volup(static_cast<int>(writer.value), 1), EBUSY, "reader present");
             s.close(static_cast<int>(reader.value));
             s.expectOk(s.volup(static_cast<int>(writer.value), 1), "alone");
             s.expectError(s.open(s.volumeNode(volId), O_RDONLY), EBUSY, "no reader during it");
             s.expectError(s.rmvol(volId), EBUSY, "no removal during it");
         }},
        {"an update of 0 bytes empties the volume at once",
         [](Session& s) {
             const int volId = s.makeFilled("cf-empty", 100, UBI_STATIC_VOLUME, pattern(100, 1));
             s.expectAttribute(volId, "data_bytes", "100");
             const Outcome writer = s.open(s.volumeNode(volId), O_RDWR);
             const int fd = static_cast<int>(writer.value);
             s.expectOk(s.volup(fd, 0), "update of 0 bytes");
             s.expectAttribute(volId, "data_bytes", "0");
             s.expectAttribute(volId, "upd_marker", "0");
             s.expectError(s.write(fd, pattern(1, 0)), EPERM, "write after it");
             s.expectError(s.write(fd, {}), EPERM, "empty write after it");
             s.expectValue(s.read(fd, 16), 0, "reads nothing");
             s.expectOk(s.open(s.volumeNode(volId), O_RDONLY), "others may open again");
             const int dynamic =
                 s.makeFilled("cf-dynamic", 100, UBI_DYNAMIC_VOLUME, pattern(100, 1));
             const Outcome other = s.open(s.volumeNode(dynamic), O_RDWR);
             s.expectOk(s.volup(static_cast<int>(other.value), 0), "dynamic update of 0 bytes");
             s.expectAttribute(dynamic, "data_bytes", str(s.leb));
             std::vector<uint8_t> start;
             s.read(static_cast<int>(other.value), 16, &start);
             s.expectEqual(start, std::vector<uint8_t>(16, 0xFF), "a dynamic volume reads 0xFF");
         }},
        {"a static update takes awkward write sizes",
         [](Session& s) {
             const int volId =
                 s.make("cf-static", static_cast<long long>(2 * s.leb), UBI_STATIC_VOLUME);
             const std::vector<uint8_t> data = pattern(s.leb + 3, 2);
             const Outcome writer = s.open(s.volumeNode(volId), O_RDWR);
             const int fd = static_cast<int>(writer.value);
             s.expectOk(s.volup(fd, static_cast<long long>(data.size())), "update started");
             s.expectAttribute(volId, "upd_marker", "1");
             s.expectAttribute(volId, "data_bytes", "0");
             s.expectValue(s.write(fd, {data.begin(), data.begin() + 1}), 1, "1 byte");
             s.expectError(s.read(fd, 16), EBUSY, "read during the update");
             s.expectValue(s.write(fd, {}), 0, "empty write during the update");
             s.expectValue(s.write(fd, {data.begin() + 1, data.begin() + 1 + s.leb}),
                           static_cast<long long>(s.leb), "one eraseblock");
             std::vector<uint8_t> tail(data.begin() + 1 + s.leb, data.end());
             tail.resize(100, 0xAA);
             s.expectValue(s.write(fd, tail), 2, "the last write returns only the bytes needed");
             s.expectAttribute(volId, "upd_marker", "0");
             s.expectAttribute(volId, "data_bytes", str(data.size()));
             s.expectAttribute(volId, "corrupted", "0");
             s.expectError(s.write(fd, pattern(1, 0)), EPERM, "write after completion");
             s.expectError(s.write(fd, {}), EPERM, "empty write after completion");
             s.expectEqual(s.readAll(fd, 4096), data, "read back on the same handle");
             s.expectValue(s.read(fd, 16), 0, "read at the end");
         }},
        {"a dynamic update reads 0xFF past its data",
         [](Session& s) {
             const int volId = s.make("cf-dynamic", static_cast<long long>(2 * s.leb));
             const std::vector<uint8_t> data = pattern(1000, 3);
             const Outcome writer = s.open(s.volumeNode(volId), O_RDWR);
             const int fd = static_cast<int>(writer.value);
             s.expectOk(s.volup(fd, 1000), "update started");
             s.expectValue(s.write(fd, {data.begin(), data.begin() + 999}), 999, "999 bytes");
             std::vector<uint8_t> last(data.begin() + 999, data.end());
             last.resize(5, 0x11);
             s.expectValue(s.write(fd, last), 1, "the last byte of five");
             s.expectAttribute(volId, "data_bytes", str(2 * s.leb));
             std::vector<uint8_t> expected = data;
             expected.resize(2 * s.leb, 0xFF);
             const Outcome reader = s.open(s.volumeNode(volId), O_RDONLY);
             s.expectEqual(s.readAll(static_cast<int>(reader.value), 65536), expected,
                           "data then 0xFF up to the reserved size");
         }},
        {"a new update replaces a static volume's data",
         [](Session& s) {
             const int volId = s.makeFilled("cf-replace", 100, UBI_STATIC_VOLUME, pattern(10, 4));
             const Outcome writer = s.open(s.volumeNode(volId), O_RDWR);
             const int fd = static_cast<int>(writer.value);
             s.expectOk(s.volup(fd, 5), "second update");
             s.expectAttribute(volId, "data_bytes", "10");
             s.expectValue(s.write(fd, pattern(5, 5)), 5, "data");
             s.expectAttribute(volId, "data_bytes", "5");
             s.expectEqual(s.readAll(fd, 64), pattern(5, 5), "new data");
         }},
        {"a handle closed during an update leaves the volume marked",
         [](Session& s) {
             const int volId = s.make("cf-short", 1000, UBI_STATIC_VOLUME);
             const Outcome writer = s.open(s.volumeNode(volId), O_RDWR);
             s.expectOk(s.volup(static_cast<int>(writer.value), 100), "update started");
             s.expectValue(s.write(static_cast<int>(writer.value), pattern(50, 6)), 50, "half");
             s.close(static_cast<int>(writer.value));
             s.expectAttribute(volId, "upd_marker", "1");
             const Outcome again = s.open(s.volumeNode(volId), O_RDWR);
             const int fd = static_cast<int>(again.value);
             s.expectOk(again, "opens again");
             s.expectError(s.read(fd, 16), EBADF, "read of a marked volume");
             s.expectError(s.read(fd, 0), EBADF, "empty read of a marked volume");
             s.expectError(s.write(fd, pattern(1, 0)), EPERM, "write without an update");
             s.expectOk(s.volup(fd, 4), "new update");
             s.expectValue(s.write(fd, pattern(4, 7)), 4, "its data");
             s.expectAttribute(volId, "upd_marker", "0");
             s.expectEqual(s.readAll(fd, 64), pattern(4, 7), "readable again");
         }},
        {"handles refuse the wrong direction",
         [](Session& s) {
             const int volId = s.make("cf-direction", 1);
             const Outcome reader = s.open(s.volumeNode(volId), O_RDONLY);
             s.expectError(s.write(static_cast<int>(reader.value), pattern(1, 0)), EBADF,
                           "write on a read-only handle");
             s.close(static_cast<int>(reader.value));
             const Outcome writer = s.open(s.volumeNode(volId), O_WRONLY);
             s.expectError(s.read(static_cast<int>(writer.value), 1), EBADF,
                           "read on a write-only handle");
         }},
        {"the device node takes requests, not data",
         [](Session& s) {
             const int volId = s.make("cf-node", 1);
             const Outcome device = s.open("/dev/" + s.deviceName(), O_RDWR);
             const int fd = static_cast<int>(device.value);
             s.expectOk(device, "device node opens read-write");
             s.expectError(s.read(fd, 1), EINVAL, "read");
             s.expectError(s.write(fd, pattern(1, 0)), EINVAL, "write");
             int64_t bytes = 1;
             s.expectError(s.ioctl(fd, UBI_IOCVOLUP, &bytes), ENOTTY, "update request");
             s.expectError(s.ioctl(fd, _IOW('o', 99, int32_t), &bytes), ENOTTY, "unknown request");
             const Outcome volume = s.open(s.volumeNode(volId), O_RDWR);
             ubi_mkvol_req request = s.mkvolRequest("cf-wrong", 1);
             s.expectError(s.ioctl(static_cast<int>(volume.value), UBI_IOCMKVOL, &request), ENOTTY,
                           "mkvol on a volume node");
             const Outcome attribute =
                 s.open("/sys/class/ubi/" + s.deviceName() + "/mtd_num", O_RDONLY);
             s.expectError(s.ioctl(static_cast<int>(attribute.value), UBI_IOCVOLUP, &bytes), ENOTTY,
                           "request on an attribute");
         }},
        {"sysfs lists devices and volumes and ends attributes in a newline",
         [](Session& s) {
             const int volId = s.make("cf-sysfs", 1);
             const std::vector<std::string> top = s.list("/sys/class/ubi");
             for (const std::string& entry :
                  {std::string("version"), s.deviceName(), s.volumeEntry(volId), std::string("."),
                   std::string("..")}) {
                 s.expectTrue(std::count(top.begin(), top.end(), entry) == 1,
                              entry + " listed in /sys/class/ubi");
             }
             const std::string mtdNum = s.deviceAttribute("mtd_num");
             s.expectTrue(mtdNum.size() > 1 && mtdNum.back() == '\n' &&
                              mtdNum.find_first_not_of("0123456789\n") == std::string::npos,
                          "mtd_num is a number and a newline");
             std::string mtdName;
             s.expectTrue(
                 s.text("/sys/class/mtd/mtd" + mtdNum.substr(0, mtdNum.size() - 1) + "/name",
                        mtdName) &&
                     mtdName.size() > 1 && mtdName.back() == '\n',
                 "the partition's name ends in a newline");
             const Outcome fd =
                 s.open("/sys/class/ubi/" + s.volumeEntry(volId) + "/name", O_RDONLY);
             std::vector<uint8_t> pieces;
             for (int i = 0; i < 9; ++i) {
                 s.expectValue(s.read(static_cast<int>(fd.value), 1, &pieces), 1, "one byte");
             }
             s.expectValue(s.read(static_cast<int>(fd.value), 64), 0, "then the end");
             s.expectEqual(std::string(pieces.begin(), pieces.end()), std::string("cf-sysfs\n"),
                           "the pieces make the name");
             s.expectError(s.open("/sys/class/ubi/" + s.volumeEntry(volId) + "/name", O_RDWR),
                           EACCES, "attributes do not open for writing");
         }},
        {"an attribute of a removed volume reads ENODEV",
         [](Session& s) {
             const int volId = s.make("cf-vanish", 1);
             const std::string path = "/sys/class/ubi/" + s.volumeEntry(volId) + "/name";
             const Outcome fd = s.open(path, O_RDONLY);
             s.expectOk(s.rmvol(volId), "rmvol");
             s.expectError(s.read(static_cast<int>(fd.value), 64), ENODEV, "read after removal");
             s.expectError(s.open(path, O_RDONLY), ENOENT, "open after removal");
         }},
    };
    return table;
}

} // namespace

std::vector<ConformanceCheck> runUbiConformance(LinuxFlash::KernelInterface& kernel,
                                                unsigned ubiNumber, const std::string& onlyCase) {
    std::vector<ConformanceCheck> checks;
    for (const Case& each : cases()) {
        if (!onlyCase.empty() && onlyCase != each.name) {
            continue;
        }
        Session session(kernel, ubiNumber, each.name, checks);
        if (session.prepare()) {
            each.run(session);
        }
    }
    Session cleanup(kernel, ubiNumber, "leave the device empty", checks);
    cleanup.prepare();
    return checks;
}

std::vector<std::string> ubiConformanceCases() {
    std::vector<std::string> names;
    for (const Case& each : cases()) {
        names.push_back(each.name);
    }
    return names;
}

} // namespace Sim
