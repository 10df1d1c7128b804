#include <endian.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "common/FwImageParser.h"
#include "common/ImageFormat.h"
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

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* pattern, ...) {
    va_list arguments;
    va_start(arguments, pattern);
    va_list copy;
    va_copy(copy, arguments);
    const int length = vsnprintf(nullptr, 0, pattern, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    vsnprintf(&text[0], text.size() + 1, pattern, arguments);
    va_end(arguments);
    return text;
}

// Header text comes from the image; keep control bytes off the terminal.
std::string printable(const std::string& text) {
    std::string result;
    for (unsigned char c : text) {
        if (c == '\\') {
            result += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            result += static_cast<char>(c);
        } else {
            result += format("\\x%02x", c);
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
            result += format("\\u%04x", c);
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
    const FwImage::VolumeTarget* target = FwImage::findVolumeTarget(id);
    return target != nullptr ? target->volumeName : nullptr;
}

std::string blockName(const BlockReport& block) {
    const char* volume = volumeOf(block.id);
    return format("the block at offset %llu (id %u, %s)",
                  static_cast<unsigned long long>(block.offset), block.id,
                  volume != nullptr ? volume : "no slot");
}

// Feeds the image to the parser the way the installer does: exactly m_bytesNeeded
// bytes per call, payload capped at the installer's chunk size, stop at end of file.
bool readImage(int fd, Inspection& result) {
    Parser parser;
    parser.begin();
    std::vector<unsigned char> buffer(FwImage::maxChunkSize);
    for (;;) {
        const uint32_t needed = parser.m_bytesNeeded;
        const ssize_t got = readFully(fd, buffer.data(), needed);
        if (got < 0) {
            return false;
        }
        if (static_cast<size_t>(got) < needed) {
            result.leftover = static_cast<uint64_t>(got);
            break;
        }
        const Parser::State before = parser.m_state;
        const int parsed = parser.parse(buffer.data(), needed);
        result.consumed += needed;
        if (parsed == Parser::ResultImageHeader) {
            result.haveHeader = true;
            result.header = parser.m_imageHeader;
        } else if (parsed == Parser::ResultBlockHeader) {
            const BlockHeader& header = parser.m_blockHeader;
            result.blocks.push_back({result.consumed - sizeof header, header.id, header.size,
                                     be32toh(header.crc), 0, 0, BlockReport::Incomplete});
            if (parser.m_bytesNeeded > FwImage::maxChunkSize) {
                parser.m_bytesNeeded = FwImage::maxChunkSize;
            }
        } else if (before == Parser::ReadBlockData) {
            BlockReport& block = result.blocks.back();
            block.payloadSeen += needed;
            if (parser.m_state != Parser::ReadBlockData) {
                block.computedCrc = parser.m_blockCrc;
                block.check = parser.m_status == Parser::CrcError ? BlockReport::Mismatch
                                                                  : BlockReport::Verified;
            }
        }
        if (before == Parser::Done) {
            result.pastEnd = true;
            result.trailing = needed;
        }
        if (parser.m_status != Parser::Ok) {
            break;
        }
    }
    result.state = parser.m_state;
    result.status = parser.end();
    if (result.state == Parser::Done) {
        result.trailing = result.leftover;
    }
    if (result.pastEnd) {
        // Count the rest only to report it.
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
        return format("the file ends inside the image header: %llu of %zu bytes",
                      static_cast<unsigned long long>(result.leftover), sizeof(ImageHeader));
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
        return format("CRC mismatch in %s: stored 0x%08x, computed 0x%08x",
                      blockName(block).c_str(), block.storedCrc, block.computedCrc);
    }
    if (result.status == Parser::LengthError && result.pastEnd) {
        return format("%llu bytes follow the end of the image",
                      static_cast<unsigned long long>(result.trailing));
    }
    if (result.status == Parser::LengthError) {
        const BlockReport& block = result.blocks.back();
        return format("%s ends at byte %llu, past the declared length %u", blockName(block).c_str(),
                      static_cast<unsigned long long>(result.consumed), header.length);
    }
    if (result.state == Parser::ReadBlockData) {
        const BlockReport& block = result.blocks.back();
        return format(
            "the file ends inside the payload of %s: %llu of %u bytes", blockName(block).c_str(),
            static_cast<unsigned long long>(block.payloadSeen + result.leftover), block.size);
    }
    if (result.leftover > 0) {
        return format("the file ends inside the block header at offset %llu: %llu of %zu bytes",
                      static_cast<unsigned long long>(result.consumed),
                      static_cast<unsigned long long>(result.leftover), sizeof(BlockHeader));
    }
    if (result.blocks.empty()) {
        return "no block follows the image header";
    }
    return format("the file ends at byte %llu, before the declared length %u",
                  static_cast<unsigned long long>(result.consumed), header.length);
}

void judge(Inspection& result) {
    result.good = result.haveHeader && FwImage::hasExpectedIdentity(result.header) &&
                  result.status == Parser::Ok && result.state == Parser::Done;
    if (!result.good) {
        result.verdict = "FAILED: " + failureReason(result);
        return;
    }
    result.verdict = format("OK (%zu block%s, %u bytes", result.blocks.size(),
                            result.blocks.size() == 1 ? "" : "s", result.header.length);
    if (result.trailing > 0) {
        result.verdict += format("; %llu trailing bytes ignored",
                                 static_cast<unsigned long long>(result.trailing));
    }
    result.verdict += ")";
}

std::string checkText(const BlockReport& block) {
    switch (block.check) {
    case BlockReport::Verified:
        return "ok";
    case BlockReport::Mismatch:
        return format("BAD, computed 0x%08x", block.computedCrc);
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
