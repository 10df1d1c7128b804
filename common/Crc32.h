#pragma once

#include <array>
#include <cstdint>

// CRC-32 as zlib computes it (reflected polynomial 0xEDB88320).
namespace Crc32 {

// One entry per byte value; the reference for every faster path.
extern const std::array<uint32_t, 256> crc32Lookup;

// Passing the previous result continues the checksum across chunks; start with 0.
uint32_t calculate(const void* data, unsigned length, uint32_t previous);

// One table step per byte; same results as calculate, kept as its reference.
uint32_t calculateBytewise(const void* data, unsigned length, uint32_t previous);

} // namespace Crc32
