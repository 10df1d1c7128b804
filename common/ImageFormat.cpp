#include "common/ImageFormat.h"

#include <cstring>

namespace FwImage {

const VolumeTarget* findVolumeTarget(uint32_t blockId) {
    for (const VolumeTarget& target : volumeTargets) {
        if (target.blockId == blockId) {
            return &target;
        }
    }
    return nullptr;
}

std::string fieldText(const char* field, size_t width) {
    return std::string(field, strnlen(field, width));
}

bool hasExpectedIdentity(const ImageHeader& header) {
    return fieldText(header.magic, sizeof header.magic) == imageMagic &&
           fieldText(header.product, sizeof header.product) == imageProduct;
}

} // namespace FwImage
