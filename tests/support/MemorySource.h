#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/ImageStream.h"

// An image held in memory, read as a file would be.
class MemorySource : public FwImage::ByteSource {
public:
    explicit MemorySource(const std::vector<uint8_t>& bytes) : m_bytes(bytes) {}
    long read(void* buffer, unsigned size) override {
        const size_t length = std::min<size_t>(size, m_bytes.size() - m_at);
        if (length > 0) {
            memcpy(buffer, m_bytes.data() + m_at, length);
        }
        m_at += length;
        return long(length);
    }
    bool readAt(uint64_t offset, void* buffer, unsigned size) override {
        if (offset > m_bytes.size() || size > m_bytes.size() - offset) {
            return false;
        }
        memcpy(buffer, m_bytes.data() + offset, size);
        return true;
    }

private:
    const std::vector<uint8_t>& m_bytes;
    size_t m_at = 0;
};
