#include <endian.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "StringTool/StringTool.h"
#include "common/BoardLayout.h"
#include "common/Crc32.h"
#include "common/ImageFormat.h"
#include "tools/ImageTool.h"

namespace ImageTool {

namespace {

std::string createHelp() {
    std::string slotOptions;
    std::string slotLines;
    std::string slotIds;
    for (int slot = 0; slot < FwImage::slotCount; ++slot) {
        const FwImage::VolumeSlot& volume = FwImage::s_volumes[slot];
        slotOptions += StringTool::stringf(" --%s FILE", volume.name);
        slotLines += StringTool::stringf("  %-17s  block %u, at most %u bytes (volume \"%s\")\n",
                                         ("--" + std::string(volume.name) + " FILE").c_str(),
                                         volume.blockId, volume.size, volume.name);
        slotIds += StringTool::stringf("%s%u",
                                       slot == 0                        ? ""
                                       : slot + 1 == FwImage::slotCount ? " and "
                                                                        : ", ",
                                       volume.blockId);
    }
    return "Usage: vexil-image create -o OUT" + slotOptions +
           "\n"
           "                          [--block ID=FILE]... [--version N] [--descr TEXT]\n"
           "                          [--sign SECRETKEY] [--allow-empty]\n"
           "                          [--magic TEXT] [--product TEXT]\n"
           "\n"
           "Builds a firmware image. Blocks are written in the order their options are given,\n"
           "each with its size and CRC-32. Inputs are streamed, never loaded whole.\n"
           "\n"
           "  -o, --output OUT   image to write; replaced only once it is complete\n" +
           slotLines + "  --block ID=FILE    a further block; IDs " + slotIds +
           " have the limits above\n"
           "  --version N        image version, decimal or 0x-prefixed hex (default 0)\n"
           "  --descr TEXT       description, at most 31 bytes (default empty)\n"
           "  --sign SECRETKEY   begin the image with a description of its blocks, signed\n"
           "                     with this key\n"
           "  --allow-empty      write an empty payload even where the board would not boot\n"
           "  --magic TEXT       magic instead of \"VexilImg\", at most 12 bytes (for tests)\n"
           "  --product TEXT     product instead of \"Dorvyn\", at most 8 bytes (for tests)\n"
           "\n"
           "Exit status: 0 written, 1 refused (payload too large or empty, image too large),\n"
           "2 usage error, 3 input or output error.\n";
}

struct BlockSource {
    uint32_t id;
    std::string path;
    FileDescriptor input;
};

struct CreateRequest {
    std::string output;
    std::vector<BlockSource> blocks;
    ImageHeader header;
    std::string keyPath; // of the secret key, when signing
    SigningKeys::SecretKey key = {};
    bool allowEmpty = false;
};

// The option that names a slot's payload, "--kernel" for the kernel.
std::string slotOption(const FwImage::VolumeSlot& slot) {
    return std::string("--") + slot.name;
}

bool setTextField(char* field, size_t width, size_t maxLength, const std::string& text,
                  const char* option, std::string& error) {
    if (text.size() > maxLength) {
        error = std::string(option) + " is " + std::to_string(text.size()) +
                " bytes; it holds at most " + std::to_string(maxLength);
        return false;
    }
    memset(field, 0, width);
    memcpy(field, text.data(), text.size());
    return true;
}

bool parseCreateArguments(int argc, char** argv, CreateRequest& request, std::string& error) {
    std::vector<Option> options;
    std::vector<std::string> operands;
    std::vector<std::string> valueOptions = {"-o",      "--output", "--block",   "--version",
                                             "--descr", "--magic",  "--product", "--sign"};
    for (const FwImage::VolumeSlot& slot : FwImage::s_volumes) {
        valueOptions.push_back(slotOption(slot));
    }
    if (!splitArguments(argc, argv, valueOptions, {"--allow-empty"}, options, operands, error)) {
        return false;
    }
    if (!operands.empty()) {
        error = "unexpected argument '" + operands.front() + "'";
        return false;
    }

    ImageHeader& header = request.header;
    memset(&header, 0, sizeof header);
    memcpy(header.magic, FwImage::imageMagic, strlen(FwImage::imageMagic));
    memcpy(header.product, FwImage::imageProduct, strlen(FwImage::imageProduct));
    std::vector<std::string> given; // options allowed once
    for (const Option& option : options) {
        const std::string name = option.name == "-o" ? "--output" : option.name;
        if (name != "--block") {
            if (std::find(given.begin(), given.end(), name) != given.end()) {
                error = "option " + name + " given twice";
                return false;
            }
            given.push_back(name);
        }
        if (name == "--output") {
            request.output = option.value;
        } else if (name == "--allow-empty") {
            request.allowEmpty = true;
        } else if (name == "--sign") {
            request.keyPath = option.value;
        } else if (name == "--block") {
            const size_t equals = option.value.find('=');
            uint32_t id = 0;
            if (equals == std::string::npos || !parseUint32(option.value.substr(0, equals), id) ||
                equals + 1 == option.value.size()) {
                error = "--block wants ID=FILE, got '" + option.value + "'";
                return false;
            }
            request.blocks.push_back({id, option.value.substr(equals + 1), FileDescriptor()});
        } else if (name == "--version") {
            uint32_t version = 0;
            if (!parseUint32(option.value, version)) {
                error = "--version wants a 32-bit number, got '" + option.value + "'";
                return false;
            }
            header.version = version;
        } else if (name == "--descr") {
            if (!setTextField(header.descr, sizeof header.descr, sizeof header.descr - 1,
                              option.value, "--descr", error)) {
                return false;
            }
        } else if (name == "--magic") {
            if (!setTextField(header.magic, sizeof header.magic, sizeof header.magic, option.value,
                              "--magic", error)) {
                return false;
            }
        } else if (name == "--product") {
            if (!setTextField(header.product, sizeof header.product, sizeof header.product,
                              option.value, "--product", error)) {
                return false;
            }
        } else {
            for (const FwImage::VolumeSlot& slot : FwImage::s_volumes) {
                if (name == slotOption(slot)) {
                    request.blocks.push_back({slot.blockId, option.value, FileDescriptor()});
                }
            }
        }
    }
    if (request.output.empty()) {
        error = "missing -o OUT";
        return false;
    }
    for (const FwImage::VolumeSlot& slot : FwImage::s_volumes) {
        if (std::find(given.begin(), given.end(), slotOption(slot)) == given.end()) {
            error = "missing " + slotOption(slot) + " FILE";
            return false;
        }
    }
    return true;
}

std::string describeBlock(const BlockSource& block) {
    const int slot = FwImage::findSlot(block.id);
    std::string text = "block " + std::to_string(block.id);
    if (slot >= 0) {
        text += std::string(" (") + FwImage::s_volumes[slot].name + ")";
    }
    return text + " from '" + block.path + "'";
}

// Refuses a payload too large for its volume or an image too large for its header.
bool checkSizes(const BlockSource& block, uint64_t payloadSize, uint64_t imageSize) {
    const int slot = FwImage::findSlot(block.id);
    if (slot >= 0 && payloadSize > FwImage::s_volumes[slot].size) {
        fprintf(stderr,
                "vexil-image create: %s is larger than volume \"%s\" (%llu bytes > %u bytes)\n",
                describeBlock(block).c_str(), FwImage::s_volumes[slot].name,
                static_cast<unsigned long long>(payloadSize), FwImage::s_volumes[slot].size);
        return false;
    }
    if (imageSize >= FwImage::imageSizeLimit) {
        fprintf(stderr,
                "vexil-image create: the image would be %llu bytes or more; an image must stay "
                "below 4 GiB (%llu bytes)\n",
                static_cast<unsigned long long>(imageSize),
                static_cast<unsigned long long>(FwImage::imageSizeLimit));
        return false;
    }
    return true;
}

// Opens every input and refuses early what the file sizes already show; pipes and
// growing files are checked again while they are copied.
int openInputs(CreateRequest& request) {
    uint64_t imageSize =
        sizeof(ImageHeader) +
        (request.keyPath.empty() ? 0 : descriptionBlockSize(request.blocks.size()));
    for (BlockSource& block : request.blocks) {
        block.input.reset(open(block.path.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat info;
        if (!block.input.valid() || fstat(block.input.get(), &info) != 0) {
            fprintf(stderr, "vexil-image create: cannot open '%s': %s\n", block.path.c_str(),
                    strerror(errno));
            return ExitIoError;
        }
        if (S_ISDIR(info.st_mode)) {
            fprintf(stderr, "vexil-image create: '%s' is a directory\n", block.path.c_str());
            return ExitIoError;
        }
        if (S_ISREG(info.st_mode)) {
            const uint64_t payloadSize = static_cast<uint64_t>(info.st_size);
            imageSize += sizeof(BlockHeader) + payloadSize;
            if (!checkSizes(block, payloadSize, imageSize)) {
                return ExitBadImage;
            }
        }
    }
    return ExitGood;
}

// Shows on a terminal how far a large payload has been packed; scripts see nothing.
class Progress {
public:
    Progress(const BlockSource& block, int input)
        : m_enabled(isatty(STDERR_FILENO) == 1), m_name(describeBlock(block)) {
        struct stat info;
        if (fstat(input, &info) == 0 && S_ISREG(info.st_mode)) {
            m_total = static_cast<uint64_t>(info.st_size);
        }
        m_enabled = m_enabled && (m_total == 0 || m_total >= largePayload);
    }
    ~Progress() {
        if (m_shown) {
            fputc('\n', stderr);
        }
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void update(uint64_t done) {
        if (!m_enabled || done < m_next) {
            return;
        }
        m_next = done + step;
        if (m_total != 0) {
            fprintf(stderr, "\rpacking %s: %llu of %llu KiB (%llu%%)", m_name.c_str(),
                    static_cast<unsigned long long>(done >> 10),
                    static_cast<unsigned long long>(m_total >> 10),
                    static_cast<unsigned long long>(done * 100 / m_total));
        } else {
            fprintf(stderr, "\rpacking %s: %llu KiB", m_name.c_str(),
                    static_cast<unsigned long long>(done >> 10));
        }
        m_shown = true;
    }

private:
    static constexpr uint64_t largePayload = 4u << 20;
    static constexpr uint64_t step = 1u << 20;

    bool m_enabled;
    bool m_shown = false;
    std::string m_name;
    uint64_t m_total = 0;
    uint64_t m_next = step;
};

// Appends one block: placeholder header, payload copied with its CRC and SHA-256, then the real
// header. `entry` gets what a signed description says of it.
int appendBlock(int out, BlockSource& block, uint64_t& imageSize, std::vector<char>& buffer,
                bool allowEmpty, ImageDescription::Entry& entry) {
    const uint64_t headerOffset = imageSize;
    BlockHeader header = {};
    if (!Platform::writeAll(out, &header, sizeof header)) {
        return -1;
    }
    imageSize += sizeof header;
    if (!checkSizes(block, 0, imageSize)) {
        return ExitBadImage;
    }
    uint64_t payloadSize = 0;
    uint32_t crc = 0;
    ImageDescription::PayloadHash hash;
    Progress progress(block, block.input.get());
    for (;;) {
        const ssize_t got = Platform::readAll(block.input.get(), buffer.data(), buffer.size());
        if (got < 0) {
            fprintf(stderr, "vexil-image create: cannot read '%s': %s\n", block.path.c_str(),
                    strerror(errno));
            return ExitIoError;
        }
        if (got == 0) {
            break;
        }
        payloadSize += static_cast<uint64_t>(got);
        imageSize += static_cast<uint64_t>(got);
        if (!checkSizes(block, payloadSize, imageSize)) {
            return ExitBadImage;
        }
        crc = Crc32::calculate(buffer.data(), static_cast<unsigned>(got), crc);
        hash.update(buffer.data(), static_cast<size_t>(got));
        if (!Platform::writeAll(out, buffer.data(), static_cast<size_t>(got))) {
            return -1;
        }
        progress.update(payloadSize);
    }
    const int slot = FwImage::findSlot(block.id);
    if (payloadSize == 0 && slot >= 0 && !FwImage::s_volumes[slot].mayBeEmpty && !allowEmpty) {
        fprintf(stderr,
                "vexil-image create: %s is empty; a board would not boot without its %s "
                "(--allow-empty writes it all the same)\n",
                describeBlock(block).c_str(), FwImage::s_volumes[slot].name);
        return ExitBadImage;
    }
    entry = {block.id, static_cast<uint32_t>(payloadSize), crc, hash.finish()};
    uint8_t raw[sizeof(BlockHeader)];
    FwImage::encodeBlockHeader({entry.id, entry.size, entry.crc}, raw);
    if (!Platform::pwriteAll(out, raw, sizeof raw, static_cast<off_t>(headerOffset))) {
        return -1;
    }
    return ExitGood;
}

int writeImage(CreateRequest& request, OutputFile& file, uint64_t& imageSize) {
    std::vector<char> buffer(FwImage::maxChunkSize);
    const bool signing = !request.keyPath.empty();
    // A signed image's description comes first; it is written once every block is known.
    std::vector<char> start(
        sizeof(ImageHeader) + (signing ? descriptionBlockSize(request.blocks.size()) : 0), 0);
    if (!Platform::writeAll(file.fd(), start.data(), start.size())) {
        return -1;
    }
    imageSize = start.size();
    std::vector<ImageDescription::Entry> entries(request.blocks.size());
    for (size_t i = 0; i < request.blocks.size(); ++i) {
        const int status = appendBlock(file.fd(), request.blocks[i], imageSize, buffer,
                                       request.allowEmpty, entries[i]);
        if (status != ExitGood) {
            return status;
        }
    }
    ImageHeader header = request.header;
    header.length = static_cast<uint32_t>(imageSize);
    if (signing) {
        return writeSignedStart(file.fd(), header, entries, request.key) ? ExitGood : -1;
    }
    uint8_t raw[sizeof(ImageHeader)];
    FwImage::encodeHeader(header, raw);
    return Platform::pwriteAll(file.fd(), raw, sizeof raw, 0) ? ExitGood : -1;
}

} // namespace

int runCreate(int argc, char** argv, FILE* out) {
    if (wantsHelp(argc, argv)) {
        fputs(createHelp().c_str(), out);
        return ExitGood;
    }
    CreateRequest request;
    std::string error;
    if (!parseCreateArguments(argc, argv, request, error)) {
        return usageError("create", error);
    }
    if (!request.keyPath.empty()) {
        if (!loadSecretKey("create", request.keyPath, request.key)) {
            return ExitIoError;
        }
        if (request.blocks.size() > ImageDescription::maxEntries) {
            fprintf(stderr, "vexil-image create: a signed image holds at most %zu blocks\n",
                    ImageDescription::maxEntries);
            return ExitBadImage;
        }
    }
    int status = openInputs(request);
    if (status != ExitGood) {
        return status;
    }
    std::vector<int> inputs;
    for (const BlockSource& block : request.blocks) {
        inputs.push_back(block.input.get());
    }
    OutputFile file("create", request.output, 0666);
    if (!file.open(inputs, {request.keyPath})) {
        return ExitIoError;
    }
    uint64_t imageSize = 0;
    status = writeImage(request, file, imageSize);
    if (status < 0) {
        return file.writeFailed();
    }
    if (status != ExitGood) {
        return status;
    }
    if (!file.commit()) {
        return ExitIoError;
    }
    fprintf(out, "%s: %zu blocks%s, %llu bytes\n", request.output.c_str(), request.blocks.size(),
            request.keyPath.empty() ? "" : " and a signed description",
            static_cast<unsigned long long>(imageSize));
    return ExitGood;
}

} // namespace ImageTool
