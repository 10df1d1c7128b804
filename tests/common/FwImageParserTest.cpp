#include <endian.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/FwImageParser.h"
#include "support/FdCapture.h"
#include "tests/common/ImageBuilder.h"

namespace {

using Bytes = ImageBuilder::Bytes;
using FwImage::Parser;

// What a run of the installer's read loop made of a stream.
struct DriveLog {
    std::string results; // one digit per parse call
    std::vector<uint32_t> pieces;
    std::vector<uint32_t> blockIds;
    std::string log;
};

// Reads exactly m_bytesNeeded bytes per call and stops at end of stream, as the
// installer does; payload pieces are capped at cap after each block header. Every
// piece is a separate allocation of its exact size, so a read past it is caught
// by AddressSanitizer.
DriveLog drive(Parser& parser, const Bytes& stream, uint32_t cap = 65536) {
    DriveLog run;
    FdCapture capture;
    parser.begin();
    size_t at = 0;
    while (stream.size() - at >= parser.m_bytesNeeded) {
        const uint32_t size = parser.m_bytesNeeded;
        const Bytes piece(stream.begin() + at, stream.begin() + at + size);
        at += size;
        const int result = parser.parse(piece.data(), size);
        run.results += std::to_string(result);
        run.pieces.push_back(size);
        if (result == Parser::ResultBlockHeader) {
            run.blockIds.push_back(parser.m_blockHeader.id);
            if (parser.m_bytesNeeded > cap) {
                parser.m_bytesNeeded = cap;
            }
        }
    }
    run.log = capture.take();
    return run;
}

std::string stateLine(int from, int to) {
    return "state changed '" + std::to_string(from) + "' -> '" + std::to_string(to) + "'\n";
}

TEST(FwImageParser, GoodImageReportsEveryPieceAndLogsEachChange) {
    const Bytes image = ImageBuilder()
                            .version(0x00010203)
                            .descr("release")
                            .block(1, {'a', 'b', 'c'})
                            .block(3, {})
                            .block(4, ImageBuilder::pattern(100, 1))
                            .build();
    Parser parser;
    const DriveLog run = drive(parser, image);

    EXPECT_EQ("1232323", run.results);
    EXPECT_EQ(stateLine(0, 1) + stateLine(1, 2) + stateLine(2, 3) + stateLine(3, 2) +
                  stateLine(2, 3) + stateLine(3, 2) + stateLine(2, 3) + stateLine(3, 4),
              run.log);
    EXPECT_EQ(Parser::Done, parser.m_state);
    EXPECT_EQ(Parser::Ok, parser.end());
    EXPECT_EQ(2048u, parser.m_bytesNeeded);
    EXPECT_EQ(image.size(), parser.m_bytesProcessed);

    EXPECT_EQ(image.size(), parser.m_imageHeader.length);
    EXPECT_EQ(image.size(), parser.m_imageLength);
    EXPECT_EQ(0x00010203u, parser.m_imageHeader.version);
    EXPECT_EQ("VexilImg", FwImage::fieldText(parser.m_imageHeader.magic, 12));
    EXPECT_EQ("release", FwImage::fieldText(parser.m_imageHeader.descr, 32));
    EXPECT_EQ(4u, parser.m_blockHeader.id);
    EXPECT_EQ(100u, parser.m_blockHeader.size);
    // The crc stays as stored; only the comparison converts it.
    EXPECT_EQ(htobe32(ImageBuilder::zlibCrc(ImageBuilder::pattern(100, 1))),
              parser.m_blockHeader.crc);
}

// An image cut anywhere stops without an error, in the state of the piece it was
// waiting for, having consumed only whole pieces. Cut at a block's end, the declared
// length is too long for what arrived: the parser waits for another block header.
TEST(FwImageParser, StreamCutAtEveryByteEndsInTheRightState) {
    const Bytes image = ImageBuilder()
                            .block(1, ImageBuilder::pattern(5, 2))
                            .block(2, {})
                            .block(3, {7, 8, 9})
                            .build();
    // Piece ends: header, then per block its header and its payload.
    const std::vector<size_t> ends = {60, 72, 77, 89, 89, 101, 104};
    const std::vector<Parser::State> waiting = {Parser::ReadImageHeader, Parser::ReadBlockHeader,
                                                Parser::ReadBlockData,   Parser::ReadBlockHeader,
                                                Parser::ReadBlockData,   Parser::ReadBlockHeader,
                                                Parser::ReadBlockData,   Parser::Done};
    for (size_t cut = 0; cut <= image.size(); ++cut) {
        size_t complete = 0;
        while (complete < ends.size() && ends[complete] <= cut) {
            ++complete;
        }
        Parser parser;
        drive(parser, Bytes(image.begin(), image.begin() + cut));
        EXPECT_EQ(waiting[complete], parser.m_state) << "cut at " << cut;
        EXPECT_EQ(Parser::Ok, parser.m_status) << "cut at " << cut;
        EXPECT_EQ(complete == 0 ? 0 : ends[complete - 1], parser.m_bytesProcessed)
            << "cut at " << cut;
    }
}

TEST(FwImageParser, ZeroSizeBlockIsOneEmptyPieceCheckedAgainstCrcZero) {
    Parser good;
    const DriveLog run = drive(good, ImageBuilder().block(2, {}).build());
    EXPECT_EQ("123", run.results);
    EXPECT_EQ((std::vector<uint32_t>{60, 12, 0}), run.pieces);
    EXPECT_EQ(Parser::Done, good.m_state);

    Parser bad;
    const DriveLog failed = drive(bad, ImageBuilder().block(2, {}, 0x01000000).build());
    EXPECT_EQ("120", failed.results);
    EXPECT_EQ(Parser::CrcError, bad.end());
}

TEST(FwImageParser, CappedPayloadArrivesInFullChunksThenTheRest) {
    const Bytes payload = ImageBuilder::pattern(65536 + 1, 3);
    Parser parser;
    const DriveLog run = drive(parser, ImageBuilder().block(4, payload).build());
    EXPECT_EQ((std::vector<uint32_t>{60, 12, 65536, 1}), run.pieces);
    EXPECT_EQ("1233", run.results);
    EXPECT_EQ(Parser::Done, parser.m_state);

    Parser small;
    const DriveLog smallRun =
        drive(small, ImageBuilder().block(4, ImageBuilder::pattern(10, 4)).build(), 4);
    EXPECT_EQ((std::vector<uint32_t>{60, 12, 4, 4, 2}), smallRun.pieces);
    EXPECT_EQ("12333", smallRun.results);
    EXPECT_EQ(Parser::Done, small.m_state);
}

TEST(FwImageParser, CrcMismatchFailsOnTheLastChunkAndIgnoresTheRest) {
    Bytes payload = ImageBuilder::pattern(10, 6);
    const uint32_t crc = ImageBuilder::zlibCrc(payload);
    payload[9] ^= 0x01;
    const Bytes image = ImageBuilder().block(1, payload, crc).block(3, {1}).build();
    Parser parser;
    const DriveLog run = drive(parser, image, 4);
    // Pieces after the failure are drained in 2048s and ignored: none fits here.
    EXPECT_EQ("12330", run.results);
    EXPECT_EQ(stateLine(0, 1) + stateLine(1, 2) + stateLine(2, 3) + "error: 3\n" + stateLine(3, 0),
              run.log);
    EXPECT_EQ(Parser::CrcError, parser.end());
    EXPECT_EQ(Parser::Idle, parser.m_state);
    EXPECT_EQ(2048u, parser.m_bytesNeeded);

    const uint32_t processed = parser.m_bytesProcessed;
    const Bytes more(2048, 0);
    FdCapture capture;
    EXPECT_EQ(Parser::ResultNothing, parser.parse(more.data(), 2048));
    EXPECT_EQ("", capture.take());
    EXPECT_EQ(processed, parser.m_bytesProcessed);
}

TEST(FwImageParser, DeclaredLengthTooShortFailsWhereABlockEndsPastIt) {
    const Bytes image = ImageBuilder()
                            .block(1, ImageBuilder::pattern(10, 7))
                            .block(3, ImageBuilder::pattern(10, 8))
                            .block(4, ImageBuilder::pattern(10, 9))
                            .length(60 + 22 + 5)
                            .build();
    Parser parser;
    const DriveLog run = drive(parser, image);
    EXPECT_EQ("12324", run.results);
    EXPECT_EQ((std::vector<uint32_t>{1, 3}), run.blockIds);
    EXPECT_EQ(stateLine(0, 1) + stateLine(1, 2) + stateLine(2, 3) + stateLine(3, 2) +
                  stateLine(2, 3) + "error: 4\n" + stateLine(3, 0),
              run.log);
    EXPECT_EQ(Parser::LengthError, parser.end());
}

TEST(FwImageParser, AFullPieceAfterDoneIsALengthErrorAShortTailIsNeverSeen) {
    const Bytes image = ImageBuilder().block(1, {1, 2, 3}).build();

    Bytes longTail = image;
    longTail.resize(image.size() + 2048, 0xEE);
    Parser parser;
    const DriveLog run = drive(parser, longTail);
    EXPECT_EQ("1234", run.results);
    EXPECT_EQ(stateLine(0, 1) + stateLine(1, 2) + stateLine(2, 3) + stateLine(3, 4) + "error: 4\n" +
                  stateLine(4, 0),
              run.log);
    EXPECT_EQ(Parser::LengthError, parser.end());

    Bytes shortTail = image;
    shortTail.resize(image.size() + 2047, 0xEE);
    Parser tolerant;
    drive(tolerant, shortTail);
    EXPECT_EQ(Parser::Done, tolerant.m_state);
    EXPECT_EQ(Parser::Ok, tolerant.end());
}

TEST(FwImageParser, RepeatedAndUnknownBlockIdsAreReportedInOrder) {
    const Bytes image =
        ImageBuilder().block(7, {1}).block(1, {2}).block(1, {3}).block(0xFFFFFFFF, {}).build();
    Parser parser;
    const DriveLog run = drive(parser, image);
    EXPECT_EQ((std::vector<uint32_t>{7, 1, 1, 0xFFFFFFFF}), run.blockIds);
    EXPECT_EQ("123232323", run.results);
    EXPECT_EQ(Parser::Done, parser.m_state);
}

TEST(FwImageParser, BeginLogsOnlyARealChangeAndClearsTheError) {
    Parser parser;
    EXPECT_EQ(Parser::Idle, parser.m_state);
    EXPECT_EQ(0u, parser.m_bytesNeeded);
    FdCapture capture;
    parser.begin();
    parser.begin();
    EXPECT_EQ(60u, parser.m_bytesNeeded);
    const Bytes header = ImageBuilder().build();
    parser.parse(header.data(), 60);
    parser.setError(Parser::BadImage);
    // Once an error is set not even the piece size is checked.
    EXPECT_EQ(Parser::ResultNothing, parser.parse(header.data(), 1));
    parser.setError(Parser::WriteError);
    parser.begin();
    EXPECT_EQ(stateLine(0, 1) + stateLine(1, 2) + "error: 1\n" + stateLine(2, 0) + "error: 5\n" +
                  stateLine(0, 1),
              capture.take());
    EXPECT_EQ(Parser::Ok, parser.end());
    EXPECT_EQ(Parser::ReadImageHeader, parser.m_state);
    EXPECT_EQ(0u, parser.m_bytesProcessed);
    EXPECT_EQ(60u, parser.m_bytesNeeded);
}

using FwImageParserDeathTest = ::testing::Test;

// The assertion goes to stdout; send it to stderr, unbuffered, where the death
// test looks.
void parseWithStdoutOnStderr(Parser& parser, const void* data, unsigned size) {
    dup2(STDERR_FILENO, STDOUT_FILENO);
    setvbuf(stdout, nullptr, _IONBF, 0);
    parser.parse(data, size);
}

TEST(FwImageParserDeathTest, PieceOfTheWrongSizeAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Bytes image = ImageBuilder().block(1, ImageBuilder::pattern(100, 10)).build();
    Parser parser;
    {
        FdCapture quiet;
        parser.begin();
    }
    EXPECT_DEATH(parseWithStdoutOnStderr(parser, image.data(), 59),
                 "assertion 'size == m_bytesNeeded' failed \\(size must be equal bytesNeeded\\) "
                 "at [^\n]*FwImageParser\\.cpp:56\r\n");

    // A caller that changes the piece size outside a payload breaks the contract too.
    parser.m_bytesNeeded = 59;
    EXPECT_DEATH(parseWithStdoutOnStderr(parser, image.data(), 59),
                 "assertion 'size == sizeof\\(ImageHeader\\)' failed");
    {
        FdCapture quiet;
        parser.begin();
        parser.m_bytesNeeded = 60;
        parser.parse(image.data(), 60);
        parser.parse(image.data() + 60, 12);
    }
    const Bytes tooMuch(101, 0);
    parser.m_bytesNeeded = 101;
    EXPECT_DEATH(parseWithStdoutOnStderr(parser, tooMuch.data(), 101),
                 "assertion 'size <= m_blockRemaining' failed");
}

} // namespace
