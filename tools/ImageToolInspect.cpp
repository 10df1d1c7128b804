#include <endian.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "StringTool/StringTool.h"
#include "common/FwImageParser.h"
#include "common/ImageFormat.h"
#include "common/ImageStream.h"
#include "tools/ImageTool.h"

namespace ImageTool {

namespace {

const char* const infoHelp =
    "Usage: vexil-image info IMAGE [--json]\n"
    "\n"
    "Shows the image header and, for each block, its offset, ID, target volume,\n"
    "size, stored CRC-32 and whether it verifies, then a verdict line. The image is\n"
    "read exactly as the installer reads it, so both reach the same verdict.\n"
    "\n"
    "  --json   print the same as one JSON object\n"
    "\n"
    "Exit status: 0 good image, 1 bad image, 2 usage error, 3 read error.\n";

const char* const verifyHelp =
    "Usage: vexil-image verify IMAGE\n"
    "\n"
    "Checks an image as the installer would and prints one line: OK, or FAILED and\n"
    "the reason.\n"
    "\n"
    "Exit status: 0 good image, 1 bad image, 2 usage error, 3 read error.\n";

using Parser = FwImage::Parser;

struct BlockReport {
    enum Check { Incomplete, Verified, Mismatch };

    uint64_t offset; // of the block header
    uint32_t id;
    uint32_t size;
    uint32_t storedCrc;
    uint32_t computedCrc;
    uint64_t payloadSeen;
    Check check;
};

struct Inspection {
    bool haveHeader = false;
    ImageHeader header = {};
    std::vector<BlockReport> blocks;
    Parser::State state = Parser::Idle;
    Parser::Status status = Parser::Ok;
    uint64_t consumed = 0; // bytes the parser accepted
    uint64_t leftover = 0; // bytes at the end, fewer than the parser asked for
    bool pastEnd = false;  // a full piece arrived after the image was complete
    uint64_t trailing = 0; // bytes after a complete image
    bool good = false;
    std::string verdict;
};

// Header text comes from the image; keep control bytes off the terminal.
std::string printable(const std::string& text) {
    std::string result;
    for (unsigned char c : text) {
        if (c == '\\') {
            result += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            result += static_cast<char>(c);
        } else {
            result += StringTool::stringf("\\x%02x", c);
        }
    }
    return result;
}

// Bytes above 0x7F are taken as Latin-1, so the output is valid JSON for any field.
std::string jsonString(const std::string& text) {
    std::string result = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            result += '\\';
            result += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            result += static_cast<char>(c);
        } else {
            result += StringTool::stringf("\\u%04x", c);
        }
    }
    return result + "\"";
}

std::string magicOf(const ImageHeader& header) {
    return FwImage::fieldText(header.magic, sizeof header.magic);
}
std::string productOf(const ImageHeader& header) {
    return FwImage::fieldText(header.product, sizeof header.product);
}
std::string descrOf(const ImageHeader& header) {
    return FwImage::fieldText(header.descr, sizeof header.descr);
}

const char* volumeOf(uint32_t id) {
    const int slot = FwImage::findSlot(id);
    return slot >= 0 ? FwImage::s_volumes[slot].name : nullptr;
}

std::string blockName(const BlockReport& block) {
    const char* volume = volumeOf(block.id);
    return StringTool::stringf("the block at offset %llu (id %u, %s)",
                               static_cast<unsigned long long>(block.offset), block.id,
                               volume != nullptr ? volume : "no slot");
}

class FdSource : public FwImage::ByteSource {
public:
    explicit FdSource(int fd) : m_fd(fd) {}
    long read(void* buffer, unsigned size) override { return readFully(m_fd, buffer, size); }

private:
    int m_fd;
};

// Collects what the image stream showed, block by block.
class Collector : public FwImage::StreamVisitor {
public:
    explicit Collector(Inspection& result) : m_result(result) {}

    void onImageHeader(Parser& parser, const uint8_t*) override {
        m_result.haveHeader = true;
        m_result.header = parser.m_imageHeader;
    }
    void onBlockHeader(Parser& parser, const uint8_t*) override {
        const BlockHeader& header = parser.m_blockHeader;
        m_result.blocks.push_back(
            {m_offset, header.id, header.size, be32toh(header.crc), 0, 0, BlockReport::Incomplete});
        m_offset += sizeof header;
    }
    void onPayload(Parser& parser, const uint8_t*, unsigned size) override {
        BlockReport& block = m_result.blocks.back();
        block.payloadSeen += size;
        m_offset += size;
        if (parser.m_state != Parser::ReadBlockData) {
            block.computedCrc = parser.m_blockCrc;
            block.check = BlockReport::Verified;
        }
        reachedEnd = parser.m_state == Parser::Done;
    }

    bool reachedEnd = false;

private:
    Inspection& m_result;
    uint64_t m_offset = sizeof(ImageHeader);
};

// Reads the image as the installer does; a block whose last piece failed its CRC is the one
// the stream stopped in.
bool readImage(int fd, Inspection& result) {
    Parser parser;
    Collector collector(result);
    FdSource source(fd);
    const FwImage::StreamEnd end = FwImage::readImage(source, parser, collector);
    if (end.cause == FwImage::StreamEnd::ReadError) {
        errno = end.error;
        return false;
    }
    result.consumed = end.consumed;
    result.leftover = end.leftover;
    result.state = parser.m_state;
    result.status = parser.end();
    result.pastEnd = result.status == Parser::LengthError && collector.reachedEnd;
    // The piece that failed the CRC or overran the declared length ended its block.
    if ((result.status == Parser::CrcError || result.status == Parser::LengthError) &&
        !result.pastEnd) {
        BlockReport& block = result.blocks.back();
        block.payloadSeen = block.size;
        block.computedCrc = parser.m_blockCrc;
        block.check =
            result.status == Parser::CrcError ? BlockReport::Mismatch : BlockReport::Verified;
    }
    if (result.state == Parser::Done) {
        result.trailing = result.leftover;
    }
    // A full piece after the complete image is what stopped the stream; count the rest only
    // to report it.
    if (result.pastEnd) {
        result.trailing = end.consumed - result.header.length;
        std::vector<unsigned char> buffer(FwImage::maxChunkSize);
        for (;;) {
            const ssize_t got = readFully(fd, buffer.data(), buffer.size());
            if (got < 0) {
                return false;
            }
            if (got == 0) {
                break;
            }
            result.trailing += static_cast<uint64_t>(got);
        }
    }
    return true;
}

std::string failureReason(const Inspection& result) {
    if (!result.haveHeader) {
        if (result.leftover == 0) {
            return "the file is empty";
        }
        return StringTool::stringf("the file ends inside the image header: %llu of %zu bytes",
                                   static_cast<unsigned long long>(result.leftover),
                                   sizeof(ImageHeader));
    }
    const ImageHeader& header = result.header;
    if (magicOf(header) != FwImage::imageMagic) {
        return "wrong magic '" + printable(magicOf(header)) + "', expected '" +
               FwImage::imageMagic + "'";
    }
    if (productOf(header) != FwImage::imageProduct) {
        return "wrong product '" + printable(productOf(header)) + "', expected '" +
               FwImage::imageProduct + "'";
    }
    if (result.status == Parser::CrcError) {
        const BlockReport& block = result.blocks.back();
        return StringTool::stringf("CRC mismatch in %s: stored 0x%08x, computed 0x%08x",
                                   blockName(block).c_str(), block.storedCrc, block.computedCrc);
    }
    if (result.status == Parser::LengthError && result.pastEnd) {
        return StringTool::stringf("%llu bytes follow the end of the image",
                                   static_cast<unsigned long long>(result.trailing));
    }
    if (result.status == Parser::LengthError) {
        const BlockReport& block = result.blocks.back();
        return StringTool::stringf("%s ends at byte %llu, past the declared length %u",
                                   blockName(block).c_str(),
                                   static_cast<unsigned long long>(result.consumed), header.length);
    }
    if (result.state == Parser::ReadBlockData) {
        const BlockReport& block = result.blocks.back();
        return StringTool::stringf(
            "the file ends inside the payload of %s: %llu of %u bytes", blockName(block).c_str(),
            static_cast<unsigned long long>(block.payloadSeen + result.leftover), block.size);
    }
    if (result.leftover > 0) {
        return StringTool::stringf(
            "the file ends inside the block header at offset %llu: %llu of %zu bytes",
            static_cast<unsigned long long>(result.consumed),
            static_cast<unsigned long long>(result.leftover), sizeof(BlockHeader));
    }
    if (result.blocks.empty()) {
        return "no block follows the image header";
    }
    return StringTool::stringf("the file ends at byte %llu, before the declared length %u",
                               static_cast<unsigned long long>(result.consumed), header.length);
}

void judge(Inspection& result) {
    result.good = result.haveHeader && FwImage::hasExpectedIdentity(result.header) &&
                  result.status == Parser::Ok && result.state == Parser::Done;
    if (!result.good) {
        result.verdict = "FAILED: " + failureReason(result);
        return;
    }
    result.verdict =
        StringTool::stringf("OK (%zu block%s, %u bytes", result.blocks.size(),
                            result.blocks.size() == 1 ? "" : "s", result.header.length);
    if (result.trailing > 0) {
        result.verdict += StringTool::stringf("; %llu trailing bytes ignored",
                                              static_cast<unsigned long long>(result.trailing));
    }
    result.verdict += ")";
}

std::string checkText(const BlockReport& block) {
    switch (block.check) {
    case BlockReport::Verified:
        return "ok";
    case BlockReport::Mismatch:
        return StringTool::stringf("BAD, computed 0x%08x", block.computedCrc);
    case BlockReport::Incomplete:
        break;
    }
    return "incomplete";
}

void printText(FILE* out, const Inspection& result) {
    if (result.haveHeader) {
        const ImageHeader& header = result.header;
        fprintf(out, "magic:    %s\n", printable(magicOf(header)).c_str());
        fprintf(out, "product:  %s\n", printable(productOf(header)).c_str());
        fprintf(out, "length:   %u\n", header.length);
        fprintf(out, "version:  0x%x\n", header.version);
        fprintf(out, "descr:    %s\n", printable(descrOf(header)).c_str());
    }
    if (!result.blocks.empty()) {
        fprintf(out, "%10s  %10s  %-10s  %10s  %-10s  %s\n", "offset", "id", "volume", "size",
                "crc", "check");
    }
    for (const BlockReport& block : result.blocks) {
        const char* volume = volumeOf(block.id);
        fprintf(out, "%10llu  %10u  %-10s  %10u  0x%08x  %s\n",
                static_cast<unsigned long long>(block.offset), block.id,
                volume != nullptr ? volume : "no slot", block.size, block.storedCrc,
                checkText(block).c_str());
    }
    fprintf(out, "verdict: %s\n", result.verdict.c_str());
}

void printJson(FILE* out, const Inspection& result) {
    fputs("{\n", out);
    if (result.haveHeader) {
        const ImageHeader& header = result.header;
        fprintf(out,
                "  \"header\": {\"magic\": %s, \"product\": %s, \"length\": %u, \"version\": %u, "
                "\"descr\": %s},\n",
                jsonString(magicOf(header)).c_str(), jsonString(productOf(header)).c_str(),
                header.length, header.version, jsonString(descrOf(header)).c_str());
    } else {
        fputs("  \"header\": null,\n", out);
    }
    fputs("  \"blocks\": [", out);
    for (size_t i = 0; i < result.blocks.size(); ++i) {
        const BlockReport& block = result.blocks[i];
        const char* volume = volumeOf(block.id);
        fprintf(
            out,
            "%s\n    {\"offset\": %llu, \"id\": %u, \"volume\": %s, \"size\": %u, \"crc\": %u, ",
            i == 0 ? "" : ",", static_cast<unsigned long long>(block.offset), block.id,
            volume != nullptr ? jsonString(volume).c_str() : "null", block.size, block.storedCrc);
        switch (block.check) {
        case BlockReport::Verified:
            fputs("\"check\": \"ok\"}", out);
            break;
        case BlockReport::Mismatch:
            fprintf(out, "\"check\": \"bad\", \"computedCrc\": %u}", block.computedCrc);
            break;
        case BlockReport::Incomplete:
            fputs("\"check\": \"incomplete\"}", out);
            break;
        }
    }
    fputs(result.blocks.empty() ? "],\n" : "\n  ],\n", out);
    fprintf(out, "  \"trailingBytes\": %llu,\n", static_cast<unsigned long long>(result.trailing));
    fprintf(out, "  \"good\": %s,\n", result.good ? "true" : "false");
    fprintf(out, "  \"verdict\": %s\n}\n", jsonString(result.verdict).c_str());
}

// Reads and judges IMAGE; on a read error prints it and returns false.
bool inspect(const char* command, const std::string& path, Inspection& result) {
    FileDescriptor image(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!image.valid()) {
        fprintf(stderr, "vexil-image %s: cannot open '%s': %s\n", command, path.c_str(),
                strerror(errno));
        return false;
    }
    if (!readImage(image.get(), result)) {
        fprintf(stderr, "vexil-image %s: cannot read '%s': %s\n", command, path.c_str(),
                strerror(errno));
        return false;
    }
    judge(result);
    return true;
}

} // namespace

int runInfo(int argc, char** argv, FILE* out) {
    if (wantsHelp(argc, argv)) {
        fputs(infoHelp, out);
        return ExitGood;
    }
    std::vector<Option> options;
    std::vector<std::string> operands;
    std::string error;
    if (!splitArguments(argc, argv, {}, {"--json"}, options, operands, error)) {
        return usageError("info", error);
    }
    if (operands.size() != 1) {
        return usageError("info", "expects exactly one IMAGE");
    }
    Inspection result;
    if (!inspect("info", operands[0], result)) {
        return ExitIoError;
    }
    if (options.empty()) {
        printText(out, result);
    } else {
        printJson(out, result);
    }
    return result.good ? ExitGood : ExitBadImage;
}

int runVerify(int argc, char** argv, FILE* out) {
    if (wantsHelp(argc, argv)) {
        fputs(verifyHelp, out);
        return ExitGood;
    }
    std::vector<Option> options;
    std::vector<std::string> operands;
    std::string error;
    if (!splitArguments(argc, argv, {}, {}, options, operands, error)) {
        return usageError("verify", error);
    }
    if (operands.size() != 1) {
        return usageError("verify", "expects exactly one IMAGE");
    }
    Inspection result;
    if (!inspect("verify", operands[0], result)) {
        return ExitIoError;
    }
    fprintf(out, "%s: %s\n", operands[0].c_str(), result.verdict.c_str());
    return result.good ? ExitGood : ExitBadImage;
}

} // namespace ImageTool
