#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

// Builds image bytes for tests, with zlib's CRC so the code under test checks
// against an independent implementation.
class ImageBuilder {
public:
    using Bytes = std::vector<uint8_t>;

    ImageBuilder& magic(const std::string& text) {
        m_magic = text;
        return *this;
    }
    ImageBuilder& product(const std::string& text) {
        m_product = text;
        return *this;
    }
    ImageBuilder& version(uint32_t value) {
        m_version = value;
        return *this;
    }
    ImageBuilder& descr(const std::string& text) {
        m_descr = text;
        return *this;
    }
    // Declares a length other than the real one.
    ImageBuilder& length(uint32_t value) {
        m_length = value;
        m_lengthSet = true;
        return *this;
    }
    ImageBuilder& block(uint32_t id, const Bytes& payload) {
        return block(id, payload, zlibCrc(payload));
    }
    ImageBuilder& block(uint32_t id, const Bytes& payload, uint32_t crc) {
        m_blocks.push_back({id, payload, crc});
        return *this;
    }

    Bytes build() const {
        Bytes image(60, 0);
        putText(image, 0, 12, m_magic);
        putText(image, 12, 8, m_product);
        putText(image, 28, 32, m_descr);
        putBigEndian(image, 24, m_version);
        for (const Block& block : m_blocks) {
            const size_t at = image.size();
            image.resize(at + 12);
            putBigEndian(image, at, block.id);
            putBigEndian(image, at + 4, static_cast<uint32_t>(block.payload.size()));
            putBigEndian(image, at + 8, block.crc);
            image.insert(image.end(), block.payload.begin(), block.payload.end());
        }
        putBigEndian(image, 20, m_lengthSet ? m_length : static_cast<uint32_t>(image.size()));
        return image;
    }

    static uint32_t zlibCrc(const Bytes& data) {
        return static_cast<uint32_t>(
            crc32(crc32(0, nullptr, 0), data.data(), static_cast<uInt>(data.size())));
    }

    static Bytes pattern(size_t size, uint8_t seed) {
        Bytes data(size);
        uint32_t state = seed * 2654435761u + 1;
        for (uint8_t& byte : data) {
            state = state * 1103515245u + 12345u;
            byte = static_cast<uint8_t>(state >> 16);
        }
        return data;
    }

private:
    struct Block {
        uint32_t id;
        Bytes payload;
        uint32_t crc;
    };

    static void putText(Bytes& image, size_t at, size_t width, const std::string& text) {
        for (size_t i = 0; i < width && i < text.size(); ++i) {
            image[at + i] = static_cast<uint8_t>(text[i]);
        }
    }
    static void putBigEndian(Bytes& image, size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            image[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
        }
    }

    std::string m_magic = "VexilImg";
    std::string m_product = "Dorvyn";
    std::string m_descr = "test image";
    uint32_t m_version = 0x01020304;
    uint32_t m_length = 0;
    bool m_lengthSet = false;
    std::vector<Block> m_blocks;
};
