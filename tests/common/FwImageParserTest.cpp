#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/FwImageParser.h"
#include "common/ImageStream.h"
#include "support/MemorySource.h"
#include "support/StringTranscript.h"
#include "tests/common/ImageBuilder.h"

namespace {

using Bytes = ImageBuilder::Bytes;
using FwImage::Parser;

struct DriveLog {
    std::string results; // one digit per parse call
    std::vector<uint32_t> pieces;
    std::string log;
};

// Reads exactly m_bytesNeeded bytes per call and stops at the end of the stream; payload
// pieces are capped after each block header. Each piece is an allocation of its exact size,
// so a read past it trips AddressSanitizer.
DriveLog drive(const Bytes& stream, uint32_t cap, Parser& parser, StringTranscript& transcript) {
    DriveLog run;
    parser.begin();
    size_t at = 0;
    while (stream.size() - at >= parser.m_bytesNeeded) {
        const uint32_t size = parser.m_bytesNeeded;
        const Bytes piece(stream.begin() + at, stream.begin() + at + size);
        at += size;
        const int result = parser.parse(piece.data(), size);
        run.results += std::to_string(result);
        run.pieces.push_back(size);
        if (result == Parser::ResultBlockHeader && parser.m_bytesNeeded > cap) {
            parser.m_bytesNeeded = cap;
        }
    }
    run.log = transcript.text;
    return run;
}

// "0-1 1-2" -> the parser's lines for those changes; "e3" -> "error: 3".
std::string lines(const std::string& changes) {
    std::string text;
    for (size_t at = 0; at < changes.size(); at += 4) {
        text += changes[at] == 'e' ? std::string("error: ") + changes[at + 1] + "\n"
                                   : std::string("state changed '") + changes[at] + "' -> '" +
                                         changes[at + 2] + "'\n";
    }
    return text;
}

Bytes withTail(Bytes image, size_t tail) {
    image.resize(image.size() + tail, 0xEE);
    return image;
}

Bytes badLastByte() {
    Bytes payload = ImageBuilder::pattern(10, 6);
    const uint32_t crc = ImageBuilder::zlibCrc(payload);
    payload[9] ^= 0x01;
    return ImageBuilder().block(1, payload, crc).block(3, {1}).build();
}

struct StreamCase {
    const char* name;
    Bytes stream;
    uint32_t cap;
    const char* results;
    std::vector<uint32_t> pieces; // checked when not empty
    Parser::State state;
    Parser::Status status;
    const char* log; // checked when not null
};

TEST(FwImageParser, Streams) {
    const Bytes oneBlock = ImageBuilder().block(1, {1, 2, 3}).build();
    const Bytes threeBlocks =
        ImageBuilder().block(1, {'a'}).block(3, {}).block(4, Bytes(100, 1)).build();
    const Bytes shortLength =
        ImageBuilder().block(1, Bytes(9)).block(3, Bytes(9)).block(4, Bytes(9)).length(84).build();
    const Bytes ids =
        ImageBuilder().block(7, {1}).block(1, {2}).block(1, {3}).block(0xFFFFFFFF, {}).build();
    // clang-format off
    const StreamCase cases[] = {
        {"three blocks, one empty", threeBlocks, 65536, "1232323", {60, 12, 1, 12, 0, 12, 100}, Parser::Done, Parser::Ok, "0-1 1-2 2-3 3-2 2-3 3-2 2-3 3-4 "},
        {"zero-size block against CRC 0", ImageBuilder().block(2, {}, 0x01000000).build(), 65536, "120", {60, 12, 0}, Parser::Idle, Parser::CrcError, nullptr},
        {"payload a byte over the cap", ImageBuilder().block(4, Bytes(65537, 3)).build(), 65536, "1233", {60, 12, 65536, 1}, Parser::Done, Parser::Ok, nullptr},
        {"small cap", ImageBuilder().block(4, Bytes(10, 4)).build(), 4, "12333", {60, 12, 4, 4, 2}, Parser::Done, Parser::Ok, nullptr},
        {"CRC fails on the last chunk", badLastByte(), 4, "12330", {}, Parser::Idle, Parser::CrcError, "0-1 1-2 2-3 e3  3-0 "},
        {"length ends in the second block", shortLength, 65536, "12324", {}, Parser::Idle, Parser::LengthError, "0-1 1-2 2-3 3-2 2-3 e4  3-0 "},
        {"a full piece after the end", withTail(oneBlock, 2048), 65536, "1234", {}, Parser::Idle, Parser::LengthError, "0-1 1-2 2-3 3-4 e4  4-0 "},
        {"a shorter tail is never seen", withTail(oneBlock, 2047), 65536, "123", {}, Parser::Done, Parser::Ok, nullptr},
        {"repeated and unknown IDs", ids, 65536, "123232323", {}, Parser::Done, Parser::Ok, nullptr},
    };
    // clang-format on
    for (const StreamCase& c : cases) {
        SCOPED_TRACE(c.name);
        StringTranscript transcript;
        Parser parser(transcript);
        const DriveLog run = drive(c.stream, c.cap, parser, transcript);
        EXPECT_EQ(run.results, c.results);
        if (!c.pieces.empty()) {
            EXPECT_EQ(run.pieces, c.pieces);
        }
        EXPECT_EQ(parser.m_state, c.state);
        EXPECT_EQ(parser.end(), c.status);
        EXPECT_EQ(parser.m_bytesNeeded,
                  c.state == Parser::Done || c.state == Parser::Idle ? 2048u : 12u);
        if (c.log != nullptr) {
            EXPECT_EQ(run.log, lines(c.log));
        }
    }
}

TEST(FwImageParser, BeginLogsOnlyARealChangeAndClearsTheError) {
    StringTranscript transcript;
    Parser parser(transcript);
    EXPECT_EQ(0u, parser.m_bytesNeeded);
    parser.begin();
    parser.begin();
    const Bytes header = ImageBuilder().build();
    parser.parse(header.data(), 60);
    parser.setError(Parser::BadImage);
    // Once an error is set not even the piece size is checked, and nothing is counted.
    EXPECT_EQ(Parser::ResultNothing, parser.parse(header.data(), 1));
    EXPECT_EQ(parser.m_bytesProcessed, 60u);
    parser.setError(Parser::WriteError);
    parser.begin();
    EXPECT_EQ(transcript.text, lines("0-1 1-2 e1  2-0 e5  0-1 "));
    EXPECT_EQ(Parser::Ok, parser.end());
    EXPECT_EQ(0u, parser.m_bytesProcessed);
    EXPECT_EQ(60u, parser.m_bytesNeeded);
}

// The reader hands payload over in pieces of at most 65536 bytes, never one byte more.
TEST(FwImageParser, ReaderCapsPayloadPieces) {
    struct Pieces : FwImage::StreamVisitor {
        std::vector<unsigned> sizes;
        void onImageHeader(Parser&, const uint8_t*) override {}
        void onBlockHeader(Parser&, const uint8_t*) override {}
        void onPayload(Parser&, const uint8_t*, unsigned size) override { sizes.push_back(size); }
    } pieces;
    const Bytes image = ImageBuilder().block(1, Bytes(65537, 7)).block(3, Bytes(65536, 8)).build();
    MemorySource source(image);
    Parser parser;
    FwImage::readImage(source, parser, pieces);
    EXPECT_EQ(parser.m_state, Parser::Done);
    EXPECT_EQ(pieces.sizes, (std::vector<unsigned>{65536, 1, 65536}));
}

// A stream 2^32 bytes longer than its declared length must not wrap the byte count back onto it.
TEST(FwImageParser, ByteCountNeverWraps) {
    const Bytes image = ImageBuilder().block(9, Bytes(64, 1)).build();
    Parser parser;
    parser.begin();
    parser.parse(image.data(), 60);
    parser.parse(image.data() + 60, 12);
    parser.m_bytesProcessed += UINT32_MAX - 60 - 12 - 63; // as if 2^32 - 64 bytes had passed
    EXPECT_EQ(Parser::ResultTooLong, parser.parse(image.data() + 72, 64));
    EXPECT_EQ(Parser::LengthError, parser.end());
}

// The assertion goes to stdout; send it to stderr, unbuffered, where the death test looks.
void parseWithStdoutOnStderr(Parser& parser, const void* data, unsigned size) {
    dup2(STDERR_FILENO, STDOUT_FILENO);
    setvbuf(stdout, nullptr, _IONBF, 0);
    parser.parse(data, size);
}

TEST(FwImageParserDeathTest, PieceOfTheWrongSizeAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Bytes image = ImageBuilder().block(1, ImageBuilder::pattern(100, 10)).build();
    Parser parser;
    parser.begin();
    EXPECT_DEATH(parseWithStdoutOnStderr(parser, image.data(), 59),
                 "assertion 'size == m_bytesNeeded' failed \\(size must be equal bytesNeeded\\) "
                 "at [^\n]*FwImageParser\\.cpp:56\r\n");
    // A caller that changes the piece size outside a payload breaks the contract too.
    parser.m_bytesNeeded = 59;
    EXPECT_DEATH(parseWithStdoutOnStderr(parser, image.data(), 59),
                 "assertion 'size == sizeof\\(ImageHeader\\)' failed");
    parser.begin();
    parser.m_bytesNeeded = 60;
    parser.parse(image.data(), 60);
    parser.parse(image.data() + 60, 12);
    const Bytes tooMuch(101, 0);
    parser.m_bytesNeeded = 101;
    EXPECT_DEATH(parseWithStdoutOnStderr(parser, tooMuch.data(), 101),
                 "assertion 'size <= m_blockRemaining' failed");
}

} // namespace
