#include "common/Crc32.h"

#include <array>
#include <cstddef>

namespace Crc32 {

namespace {

constexpr uint32_t polynomial = 0xEDB88320u;

using Table = std::array<uint32_t, 256>;
using SliceTables = std::array<Table, 8>;

constexpr Table makeByteTable() {
    Table table{};
    for (uint32_t index = 0; index < 256; ++index) {
        uint32_t value = index;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1u) ? (value >> 1) ^ polynomial : value >> 1;
        }
        table[index] = value;
    }
    return table;
}

constexpr Table byteTable = makeByteTable();

// slices[k][b]: the CRC contribution of byte b followed by k zero bytes.
constexpr SliceTables makeSliceTables() {
    SliceTables slices{};
    slices[0] = byteTable;
    for (size_t k = 1; k < slices.size(); ++k) {
        for (size_t index = 0; index < 256; ++index) {
            const uint32_t previous = slices[k - 1][index];
            slices[k][index] = (previous >> 8) ^ byteTable[previous & 0xFFu];
        }
    }
    return slices;
}

constexpr SliceTables slices = makeSliceTables();

// Assembled byte by byte: no alignment demands and the same on any byte order.
inline uint32_t loadLittleEndian(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint32_t stepBytes(uint32_t crc, const uint8_t* p, unsigned length) {
    for (unsigned i = 0; i < length; ++i) {
        crc = crc32Lookup[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    }
    return crc;
}

} // namespace

const std::array<uint32_t, 256> crc32Lookup = byteTable;

uint32_t calculateBytewise(const void* data, unsigned length, uint32_t previous) {
    return ~stepBytes(~previous, static_cast<const uint8_t*>(data), length);
}

namespace {

// Eight bytes through the derived tables (slicing-by-8).
inline uint32_t step8(uint32_t crc, const uint8_t* p) {
    const uint32_t w0 = crc ^ loadLittleEndian(p);
    const uint32_t w1 = loadLittleEndian(p + 4);
    return slices[7][w0 & 0xFFu] ^ slices[6][(w0 >> 8) & 0xFFu] ^ slices[5][(w0 >> 16) & 0xFFu] ^
           slices[4][w0 >> 24] ^ slices[3][w1 & 0xFFu] ^ slices[2][(w1 >> 8) & 0xFFu] ^
           slices[1][(w1 >> 16) & 0xFFu] ^ slices[0][w1 >> 24];
}

// a * b modulo the polynomial, both in the reflected bit order of the register.
uint32_t multiplyModulo(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
        if (a & bit) {
            product ^= b;
        }
        b = (b & 1u) ? (b >> 1) ^ polynomial : b >> 1;
    }
    return product;
}

// The register value x^(8 * bytes) modulo the polynomial: multiplying by it
// moves a register past that many zero bytes.
uint32_t zeroBytesOperator(uint64_t bytes) {
    uint32_t result = 1u << 31; // x^0
    uint32_t power = 1u << 23;  // x^8: one byte
    for (; bytes != 0; bytes >>= 1) {
        if (bytes & 1u) {
            result = multiplyModulo(power, result);
        }
        power = multiplyModulo(power, power);
    }
    return result;
}

// Below this a buffer runs as one chain; above it four independent chains keep
// the processor busy and are joined afterwards.
constexpr unsigned laneThreshold = 3 * 1024;

} // namespace

uint32_t calculate(const void* data, unsigned length, uint32_t previous) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t crc = ~previous;
    if (length >= laneThreshold) {
        const unsigned lane = (length / 4) & ~7u;
        uint32_t second = 0;
        uint32_t third = 0;
        uint32_t fourth = 0;
        for (unsigned at = 0; at < lane; at += 8) {
            crc = step8(crc, p + at);
            second = step8(second, p + lane + at);
            third = step8(third, p + 2 * lane + at);
            fourth = step8(fourth, p + 3 * lane + at);
        }
        // The register is linear: a chain started from zero joins the one before
        // it once that one has been moved past the chain's bytes.
        const uint32_t join = zeroBytesOperator(lane);
        crc = multiplyModulo(join, crc) ^ second;
        crc = multiplyModulo(join, crc) ^ third;
        crc = multiplyModulo(join, crc) ^ fourth;
        p += 4 * lane;
        length -= 4 * lane;
    }
    for (; length >= 8; length -= 8, p += 8) {
        crc = step8(crc, p);
    }
    return ~stepBytes(crc, p, length);
}

} // namespace Crc32
