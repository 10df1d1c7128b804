#include "common/Crc32.h"

#include <array>
#include <cstddef>

namespace Crc32 {

namespace {

constexpr uint32_t polynomial = 0xEDB88320u;

using Table = std::array<uint32_t, 256>;
using SliceTables = std::array<Table, 16>;

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

// Slicing-by-16: sixteen bytes per step through the derived tables.
uint32_t calculate(const void* data, unsigned length, uint32_t previous) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t crc = ~previous;
    for (; length >= 16; length -= 16, p += 16) {
        const uint32_t w0 = crc ^ loadLittleEndian(p);
        const uint32_t w1 = loadLittleEndian(p + 4);
        const uint32_t w2 = loadLittleEndian(p + 8);
        const uint32_t w3 = loadLittleEndian(p + 12);
        crc = slices[15][w0 & 0xFFu] ^ slices[14][(w0 >> 8) & 0xFFu] ^
              slices[13][(w0 >> 16) & 0xFFu] ^ slices[12][w0 >> 24] ^ slices[11][w1 & 0xFFu] ^
              slices[10][(w1 >> 8) & 0xFFu] ^ slices[9][(w1 >> 16) & 0xFFu] ^ slices[8][w1 >> 24] ^
              slices[7][w2 & 0xFFu] ^ slices[6][(w2 >> 8) & 0xFFu] ^ slices[5][(w2 >> 16) & 0xFFu] ^
              slices[4][w2 >> 24] ^ slices[3][w3 & 0xFFu] ^ slices[2][(w3 >> 8) & 0xFFu] ^
              slices[1][(w3 >> 16) & 0xFFu] ^ slices[0][w3 >> 24];
    }
    return ~stepBytes(crc, p, length);
}

} // namespace Crc32
