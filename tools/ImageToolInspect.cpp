#include <endian.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "StringTool/StringTool.h"
#include "common/BoardLayout.h"
#include "common/FwImageParser.h"
#include "common/ImageCheck.h"
#include "common/ImageFormat.h"
#include "common/ImageStream.h"
#include "tools/ImageTool.h"

namespace ImageTool {

namespace {

using StringTool::stringf;

const char* const infoHelp =
    "Usage: vexil-image info IMAGE [--json] [--trusted-keys DIR]\n"
    "\n"
    "Shows the image header, its signature and, for each block, its offset, ID,\n"
    "target volume, size, stored CRC-32 and whether it verifies, then warnings and a\n"
    "verdict line. The verdict is the installer's for a board with the standard\n"
    "volume sizes: the image is read exactly as the installer reads it and judged by\n"
    "the same rules. Block 1447318339 (0x56445343, \"VDSC\") is the signed description.\n"
    "Without --trusted-keys the signer it names is only a claim.\n"
    "\n"
    "  --json              print the same as one JSON object\n"
    "  --trusted-keys DIR  judge as a board whose trust store is DIR\n"
    "\n"
    "Exit status: 0 good image, 1 bad image, 2 usage error, 3 read error.\n";

const char* const verifyHelp =
    "Usage: vexil-image verify IMAGE [--trusted-keys DIR]\n"
    "\n"
    "Checks an image as the installer would and prints one line: OK, or FAILED and\n"
    "the installer's reason. Warnings go to standard error.\n"
    "\n"
    "  --trusted-keys DIR  check the signature as a board whose trust store is DIR\n"
    "\n"
    "Exit status: 0 good image, 1 bad image, 2 usage error, 3 read error or a trust\n"
    "store that cannot be used.\n";

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
    bool hasSignature = false;
    bool signatureReadable = false;
    bool signatureVerified = false;
    std::string signatureProblem;
    SigningKeys::KeyId keyId = {};
    std::vector<std::string> warnings;
    bool good = false;
    std::string verdict;
};

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
    if (id == ImageDescription::blockId) {
        return "signed";
    }
    const int slot = FwImage::findSlot(id);
    return slot >= 0 ? FwImage::s_volumes[slot].name : nullptr;
}

std::string blockName(const BlockReport& block) {
    const char* volume = volumeOf(block.id);
    return stringf("the block at offset %llu (id %u, %s)",
                   static_cast<unsigned long long>(block.offset), block.id,
                   volume != nullptr ? volume : "no slot");
}

// The installer's check, and what the stream showed block by block.
class Collector : public FwImage::StreamVisitor {
public:
    Collector(Inspection& result, const SigningKeys::TrustStore& store)
        : m_result(result), m_check(FwImage::standardCapacity, store) {}

    void onImageHeader(Parser& parser, const uint8_t* raw) override {
        m_result.haveHeader = true;
        m_result.header = parser.m_imageHeader;
        m_check.onImageHeader(parser, raw);
    }
    void onBlockHeader(Parser& parser, const uint8_t* raw) override {
        const BlockHeader& header = parser.m_blockHeader;
        m_result.blocks.push_back(
            {m_offset, header.id, header.size, header.crc, 0, 0, BlockReport::Incomplete});
        m_offset += sizeof header;
        m_check.onBlockHeader(parser, raw);
    }
    void onPayload(Parser& parser, const uint8_t* data, unsigned size) override {
        m_check.onPayload(parser, data, size);
        BlockReport& block = m_result.blocks.back();
        block.payloadSeen += size;
        m_offset += size;
        if (parser.m_state != Parser::ReadBlockData) {
            block.computedCrc = parser.m_blockCrc;
            block.check = BlockReport::Verified;
        }
        reachedEnd = parser.m_state == Parser::Done;
    }

    const FwImage::ImageCheck& check() const { return m_check; }
    void lookAhead(FwImage::ByteSource& source) { m_check.lookAhead(source); }
    bool reachedEnd = false;

private:
    Inspection& m_result;
    FwImage::ImageCheck m_check;
    uint64_t m_offset = sizeof(ImageHeader);
};

// More than the installer says: where exactly the image went wrong.
std::string detail(const Inspection& result) {
    if (!result.haveHeader) {
        return result.leftover == 0
                   ? "the file is empty"
                   : stringf("the file ends inside the image header: %llu of %zu bytes",
                             static_cast<unsigned long long>(result.leftover), sizeof(ImageHeader));
    }
    if (result.status == Parser::CrcError) {
        const BlockReport& block = result.blocks.back();
        return stringf("%s stores 0x%08x, its payload gives 0x%08x", blockName(block).c_str(),
                       block.storedCrc, block.computedCrc);
    }
    if (result.status == Parser::LengthError) {
        return result.pastEnd
                   ? stringf("more data follows its end at byte %u", result.header.length)
                   : stringf("%s ends at byte %llu, past the declared length %u",
                             blockName(result.blocks.back()).c_str(),
                             static_cast<unsigned long long>(result.consumed),
                             result.header.length);
    }
    if (result.status != Parser::Ok) {
        return "";
    }
    if (result.state == Parser::ReadBlockData) {
        const BlockReport& block = result.blocks.back();
        return stringf(
            "the file ends inside the payload of %s: %llu of %u bytes", blockName(block).c_str(),
            static_cast<unsigned long long>(block.payloadSeen + result.leftover), block.size);
    }
    if (result.state == Parser::ReadBlockHeader && result.leftover > 0) {
        return stringf("the file ends inside the block header at offset %llu: %llu of %zu bytes",
                       static_cast<unsigned long long>(result.consumed),
                       static_cast<unsigned long long>(result.leftover), sizeof(BlockHeader));
    }
    if (result.state == Parser::ReadBlockHeader) {
        return result.blocks.empty()
                   ? "no block follows the image header"
                   : stringf("the file ends at byte %llu, before the declared length %u",
                             static_cast<unsigned long long>(result.consumed),
                             result.header.length);
    }
    return "";
}

// Reads the image as the installer does and judges it by the installer's rules.
bool inspect(int fd, const SigningKeys::TrustStore& store, Inspection& result) {
    Parser parser;
    Collector collector(result, store);
    FdSource source(fd);
    collector.lookAhead(source);
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
    const FwImage::ImageCheck& check = collector.check();
    result.hasSignature = check.hasDescription();
    result.signatureReadable = check.claimedKey(result.keyId);
    result.signatureVerified = check.verified();
    result.signatureProblem = check.descriptionProblem();
    result.warnings = check.warnings();
    std::string rejection;
    result.good = check.accepts(parser, rejection);
    if (!result.good) {
        const std::string more = detail(result);
        result.verdict = "FAILED: " + rejection + (more.empty() ? "" : ": " + more);
        return true;
    }
    result.verdict = stringf("OK (%zu block%s, %u bytes", result.blocks.size(),
                             result.blocks.size() == 1 ? "" : "s", result.header.length);
    if (result.leftover > 0) {
        result.verdict += stringf("; %llu trailing bytes ignored",
                                  static_cast<unsigned long long>(result.leftover));
    }
    result.verdict += ")";
    return true;
}

std::string signatureText(const Inspection& result) {
    if (!result.hasSignature) {
        return "no";
    }
    if (!result.signatureReadable) {
        return result.signatureProblem.empty() ? "malformed signed description"
                                               : result.signatureProblem;
    }
    const std::string key = SigningKeys::keyIdHex(result.keyId);
    if (result.signatureVerified) {
        return "by key " + key + ", verified by a trusted key";
    }
    return "claims key " + key + ", not verified" +
           (result.signatureProblem.empty() ? "" : ": " + result.signatureProblem);
}

std::string checkText(const BlockReport& block) {
    switch (block.check) {
    case BlockReport::Verified:
        return "ok";
    case BlockReport::Mismatch:
        return stringf("BAD, computed 0x%08x", block.computedCrc);
    case BlockReport::Incomplete:
        break;
    }
    return "incomplete";
}

void printText(FILE* out, const Inspection& result) {
    if (result.haveHeader) {
        const ImageHeader& header = result.header;
        fprintf(out, "magic:    %s\n", FwImage::printable(magicOf(header)).c_str());
        fprintf(out, "product:  %s\n", FwImage::printable(productOf(header)).c_str());
        fprintf(out, "length:   %u\n", header.length);
        fprintf(out, "version:  0x%x\n", header.version);
        fprintf(out, "descr:    %s\n", FwImage::printable(descrOf(header)).c_str());
        fprintf(out, "signed:   %s\n", signatureText(result).c_str());
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
    for (const std::string& warning : result.warnings) {
        fprintf(out, "warning: %s\n", warning.c_str());
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
                StringTool::jsonString(magicOf(header)).c_str(),
                StringTool::jsonString(productOf(header)).c_str(), header.length, header.version,
                StringTool::jsonString(descrOf(header)).c_str());
    } else {
        fputs("  \"header\": null,\n", out);
    }
    if (!result.hasSignature) {
        fputs("  \"signature\": null,\n", out);
    } else {
        fprintf(out, "  \"signature\": {\"keyId\": %s, \"verified\": %s, \"problem\": %s},\n",
                result.signatureReadable
                    ? StringTool::jsonString(SigningKeys::keyIdHex(result.keyId)).c_str()
                    : "null",
                result.signatureVerified ? "true" : "false",
                result.signatureProblem.empty()
                    ? "null"
                    : StringTool::jsonString(result.signatureProblem).c_str());
    }
    fputs("  \"blocks\": [", out);
    for (size_t i = 0; i < result.blocks.size(); ++i) {
        const BlockReport& block = result.blocks[i];
        const char* volume = volumeOf(block.id);
        fprintf(
            out,
            "%s\n    {\"offset\": %llu, \"id\": %u, \"volume\": %s, \"size\": %u, \"crc\": %u, ",
            i == 0 ? "" : ",", static_cast<unsigned long long>(block.offset), block.id,
            volume != nullptr ? StringTool::jsonString(volume).c_str() : "null", block.size,
            block.storedCrc);
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
    fputs("  \"warnings\": [", out);
    for (size_t i = 0; i < result.warnings.size(); ++i) {
        fprintf(out, "%s%s", i == 0 ? "" : ", ",
                StringTool::jsonString(result.warnings[i]).c_str());
    }
    fputs("],\n", out);
    fprintf(out, "  \"trailingBytes\": %llu,\n",
            static_cast<unsigned long long>(result.state == Parser::Done ? result.leftover : 0));
    fprintf(out, "  \"good\": %s,\n", result.good ? "true" : "false");
    fprintf(out, "  \"verdict\": %s\n}\n", StringTool::jsonString(result.verdict).c_str());
}

// Reads and judges IMAGE; a read error or an unusable trust store is printed and gives false.
bool examine(const char* command, const std::vector<Option>& options, const std::string& path,
             Inspection& result) {
    SigningKeys::TrustStore store = SigningKeys::TrustStore::none();
    for (const Option& option : options) {
        if (option.name != "--trusted-keys") {
            continue;
        }
        // A store asked for must be there: checking against nothing would look like a pass.
        store = SigningKeys::TrustStore::load(option.value);
        if (store.state() != SigningKeys::TrustStore::Loaded) {
            fprintf(stderr, "vexil-image %s: %s\n", command,
                    store.state() == SigningKeys::TrustStore::Refused
                        ? store.reason().c_str()
                        : (option.value + ": no such directory").c_str());
            return false;
        }
    }
    FileDescriptor image(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!image.valid()) {
        fprintf(stderr, "vexil-image %s: cannot open '%s': %s\n", command, path.c_str(),
                strerror(errno));
        return false;
    }
    if (!inspect(image.get(), store, result)) {
        fprintf(stderr, "vexil-image %s: cannot read '%s': %s\n", command, path.c_str(),
                strerror(errno));
        return false;
    }
    return true;
}

bool hasOption(const std::vector<Option>& options, const char* name) {
    for (const Option& option : options) {
        if (option.name == name) {
            return true;
        }
    }
    return false;
}

} // namespace

int runInfo(int argc, char** argv, FILE* out) {
    std::vector<Option> options;
    std::vector<std::string> operands;
    int status = ExitGood;
    if (!startCommand(argc, argv, out, "info", infoHelp, {"--trusted-keys"}, {"--json"}, options,
                      operands, status)) {
        return status;
    }
    if (operands.size() != 1) {
        return usageError("info", "expects exactly one IMAGE");
    }
    Inspection result;
    if (!examine("info", options, operands[0], result)) {
        return ExitIoError;
    }
    if (hasOption(options, "--json")) {
        printJson(out, result);
    } else {
        printText(out, result);
    }
    return result.good ? ExitGood : ExitBadImage;
}

int runVerify(int argc, char** argv, FILE* out) {
    std::vector<Option> options;
    std::vector<std::string> operands;
    int status = ExitGood;
    if (!startCommand(argc, argv, out, "verify", verifyHelp, {"--trusted-keys"}, {}, options,
                      operands, status)) {
        return status;
    }
    if (operands.size() != 1) {
        return usageError("verify", "expects exactly one IMAGE");
    }
    Inspection result;
    if (!examine("verify", options, operands[0], result)) {
        return ExitIoError;
    }
    for (const std::string& warning : result.warnings) {
        fprintf(stderr, "vexil-image verify: %s: warning: %s\n", operands[0].c_str(),
                warning.c_str());
    }
    fprintf(out, "%s: %s\n", operands[0].c_str(), result.verdict.c_str());
    return result.good ? ExitGood : ExitBadImage;
}

} // namespace ImageTool
