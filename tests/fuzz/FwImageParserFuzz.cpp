// libFuzzer target: random streams fed to FwImage::Parser the way the installer
// feeds it. Built and run by scripts/fuzz.sh.
//
// Input: two bytes that set the payload cap (1 to 65536), one flag byte (bit 0:
// reject a wrong magic or product like the installer), then the stream.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/FwImageParser.h"

namespace {

using FwImage::Parser;

uint32_t bigEndianAt(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// Bit by bit, sharing nothing with the table-driven code under test.
uint32_t bitwiseCrc(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// Whether stream[0, consumed) is a whole image: its declared length, at least one
// block, blocks back to back up to the end, every CRC right.
bool isCompleteImage(const uint8_t* stream, size_t consumed) {
    if (consumed < sizeof(ImageHeader) || bigEndianAt(stream + 20) != consumed) {
        return false;
    }
    size_t at = sizeof(ImageHeader);
    bool anyBlock = false;
    while (at < consumed) {
        if (consumed - at < sizeof(BlockHeader)) {
            return false;
        }
        const uint32_t size = bigEndianAt(stream + at + 4);
        const uint32_t crc = bigEndianAt(stream + at + 8);
        at += sizeof(BlockHeader);
        if (consumed - at < size || bitwiseCrc(stream + at, size) != crc) {
            return false;
        }
        at += size;
        anyBlock = true;
    }
    return anyBlock;
}

// The block that just ended at `consumed` really has a wrong CRC.
bool lastBlockIsCorrupt(const uint8_t* stream, size_t consumed, const Parser& parser) {
    const uint32_t size = parser.m_blockHeader.size;
    const uint8_t* header = stream + consumed - size - sizeof(BlockHeader);
    return bitwiseCrc(header + sizeof(BlockHeader), size) != bigEndianAt(header + 8);
}

[[noreturn]] void violated(const char* what, size_t consumed) {
    fprintf(stderr, "parser invariant violated after %zu bytes: %s\n", consumed, what);
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const uint32_t cap = 1 + (uint32_t(data[0]) << 8 | data[1]) % FwImage::maxChunkSize;
    const bool checkIdentity = (data[2] & 1) != 0;
    const uint8_t* stream = data + 3;
    const size_t length = size - 3;

    Parser parser;
    parser.begin();
    size_t consumed = 0;
    while (length - consumed >= parser.m_bytesNeeded) {
        const uint32_t needed = parser.m_bytesNeeded;
        // A separate allocation of exactly the piece, so any read past it is caught.
        const std::vector<uint8_t> piece(stream + consumed, stream + consumed + needed);
        const Parser::State before = parser.m_state;
        const int result = parser.parse(piece.data(), needed);
        consumed += needed;

        if (result < Parser::ResultNothing || result > Parser::ResultTooLong) {
            violated("result out of range", consumed);
        }
        if (result == Parser::ResultImageHeader && checkIdentity &&
            !FwImage::hasExpectedIdentity(parser.m_imageHeader)) {
            parser.setError(Parser::BadImage);
        }
        if (result == Parser::ResultBlockHeader && parser.m_bytesNeeded > cap) {
            parser.m_bytesNeeded = cap;
        }
        if (parser.m_state == Parser::Done && before != Parser::Done &&
            (parser.m_status != Parser::Ok || !isCompleteImage(stream, consumed))) {
            violated("Done without a complete, verified image", consumed);
        }
        if (parser.m_status == Parser::CrcError && before == Parser::ReadBlockData &&
            !lastBlockIsCorrupt(stream, consumed, parser)) {
            violated("CRC error on a good block", consumed);
        }
        if (parser.m_status == Parser::LengthError && before == Parser::ReadBlockData &&
            consumed <= bigEndianAt(stream + 20)) {
            violated("length error within the declared length", consumed);
        }
        if (parser.m_state == Parser::ReadBlockData && parser.m_bytesNeeded > cap &&
            before == Parser::ReadBlockData) {
            violated("the cap was raised during a payload", consumed);
        }
        if (parser.m_status != Parser::Ok) {
            break; // everything after an error is ignored
        }
    }
    return 0;
}
