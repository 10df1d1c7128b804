#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "common/Crc32.h"

namespace {

uint32_t zlibCrc(const uint8_t* data, size_t length) {
    return static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), data, static_cast<uInt>(length)));
}

std::vector<uint8_t> randomBytes(std::mt19937& random, size_t size) {
    std::vector<uint8_t> data(size);
    for (uint8_t& byte : data) {
        byte = static_cast<uint8_t>(random());
    }
    return data;
}

// Buffers at any start, in random chunks: small ones, and large ones that run as four joined
// chains continuing a running checksum. zlib must agree.
TEST(Crc32, ContinuesAcrossRandomChunksLikeZlib) {
    std::mt19937 random(20240601);
    const std::vector<uint8_t> data = randomBytes(random, 200016);
    for (int round = 0; round < 260; ++round) {
        const bool large = round >= 200;
        const size_t length = large ? 3000 + random() % 190000 : random() % 5000;
        const uint8_t* start = data.data() + random() % 16;
        uint32_t crc = 0;
        for (size_t at = 0; at < length;) {
            const size_t chunk = std::min<size_t>(length - at, random() % (large ? 70000 : 300));
            crc = Crc32::calculate(start + at, static_cast<unsigned>(chunk), crc);
            at += chunk;
        }
        ASSERT_EQ(zlibCrc(start, length), crc) << "round " << round;
    }
}

// The eight-byte path must agree with the byte table at every start alignment and
// every tail length.
TEST(Crc32, FastPathMatchesBytewiseAtEveryAlignment) {
    std::mt19937 random(7);
    const std::vector<uint8_t> data = randomBytes(random, 4096 + 16);
    for (size_t offset = 0; offset < 16; ++offset) {
        for (unsigned length = 0; length <= 80; ++length) {
            const uint32_t previous = static_cast<uint32_t>(random());
            ASSERT_EQ(Crc32::calculateBytewise(data.data() + offset, length, previous),
                      Crc32::calculate(data.data() + offset, length, previous))
                << "offset " << offset << " length " << length;
        }
        const unsigned length = static_cast<unsigned>(random() % 4096);
        ASSERT_EQ(Crc32::calculateBytewise(data.data() + offset, length, 0),
                  Crc32::calculate(data.data() + offset, length, 0));
        ASSERT_EQ(zlibCrc(data.data() + offset, length),
                  Crc32::calculateBytewise(data.data() + offset, length, 0));
    }
}

} // namespace
