#include <endian.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "StringTool/StringTool.h"
#include "common/Crc32.h"
#include "common/ImageFormat.h"
#include "common/ImageSignature.h"
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
           "  --sign SECRETKEY   end the image with a signature block made with this key\n"
           "  --allow-empty      write an empty payload even where the board would not boot\n"
           "  --magic TEXT       magic instead of \"VexilImg\", at most 12 bytes (for tests)\n"
           "  --product TEXT     product instead of \"Dorvyn\", at most 8 bytes (for tests)\n"
           "\n"
           "Exit status: 0 written, 1 refused (payload too large or empty, image too large),\n"
           "2 usage error, 3 input or output error.\n";
}

// A signature block: its header and its payload.
constexpr uint64_t signatureBlockSize = sizeof(BlockHeader) + ImageSignature::payloadSize;

// Every image byte must be countable in the header's 32-bit length.
constexpr uint64_t imageSizeLimit = uint64_t(1) << 32;

struct BlockSource {
    uint32_t id;
    std::string path;
    FileDescriptor input;
};

struct CreateRequest {
    std::string output;
    std::vector<BlockSource> blocks;
    ImageHeader header;
    std::string signingKey; // the key file's text when signing
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
            request.signingKey = option.value;
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
    if (imageSize >= imageSizeLimit) {
        fprintf(stderr,
                "vexil-image create: the image would be %llu bytes or more; an image must stay "
                "below 4 GiB (%llu bytes)\n",
                static_cast<unsigned long long>(imageSize),
                static_cast<unsigned long long>(imageSizeLimit));
        return false;
    }
    return true;
}

// Opens every input and refuses early what the file sizes already show; pipes and
// growing files are checked again while they are copied.
int openInputs(CreateRequest& request) {
    uint64_t imageSize = sizeof(ImageHeader);
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

// Appends one block: placeholder header, payload copied with its CRC, then the real header.
int appendBlock(int out, BlockSource& block, uint64_t& imageSize, std::vector<char>& buffer,
                bool allowEmpty) {
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
    header.id = htobe32(block.id);
    header.size = htobe32(static_cast<uint32_t>(payloadSize));
    header.crc = htobe32(crc);
    if (!Platform::pwriteAll(out, &header, sizeof header, static_cast<off_t>(headerOffset))) {
        return -1;
    }
    return ExitGood;
}

int writeImage(CreateRequest& request, OutputFile& file, uint64_t& imageSize) {
    std::vector<char> buffer(FwImage::maxChunkSize);
    ImageHeader header = request.header;
    if (!Platform::writeAll(file.fd(), &header, sizeof header)) {
        return -1;
    }
    imageSize = sizeof header;
    for (BlockSource& block : request.blocks) {
        const int status = appendBlock(file.fd(), block, imageSize, buffer, request.allowEmpty);
        if (status != ExitGood) {
            return status;
        }
    }
    const uint64_t signature = request.signingKey.empty() ? 0 : signatureBlockSize;
    if (!checkSizes(request.blocks.back(), 0, imageSize + signature)) {
        return ExitBadImage;
    }
    header.length = htobe32(static_cast<uint32_t>(imageSize + signature));
    header.version = htobe32(request.header.version);
    if (!Platform::pwriteAll(file.fd(), &header, sizeof header, 0)) {
        return -1;
    }
    if (signature != 0) {
        if (!appendSignature(file.fd(), imageSize, request.signingKey)) {
            return -1;
        }
        imageSize += signature;
    }
    return ExitGood;
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
    if (!request.signingKey.empty() &&
        !loadSecretKey("create", request.signingKey, request.signingKey)) {
        return ExitIoError;
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
    if (!file.open(inputs)) {
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
            request.signingKey.empty() ? "" : " and a signature",
            static_cast<unsigned long long>(imageSize));
    return ExitGood;
}

} // namespace ImageTool
