#include "common/ImageFormat.h"

#include <cstring>

namespace FwImage {

int findSlot(uint32_t blockId) {
    for (int slot = 0; slot < slotCount; ++slot) {
        if (s_volumes[slot].blockId == blockId) {
            return slot;
        }
    }
    return -1;
}

std::string fieldText(const char* field, size_t width) {
    return std::string(field, strnlen(field, width));
}

bool hasExpectedIdentity(const ImageHeader& header) {
    return fieldText(header.magic, sizeof header.magic) == imageMagic &&
           fieldText(header.product, sizeof header.product) == imageProduct;
}

} // namespace FwImage
