#include "common/BoardLayout.h"

namespace FwImage {

int findSlot(uint32_t blockId) {
    for (int slot = 0; slot < slotCount; ++slot) {
        if (s_volumes[slot].blockId == blockId) {
            return slot;
        }
    }
    return -1;
}

uint64_t volumeCapacity(unsigned size, unsigned lebSize) {
    return (uint64_t(size) + lebSize - 1) / lebSize * lebSize;
}

uint64_t standardCapacity(int slot) {
    return volumeCapacity(s_volumes[slot].size, standardLebSize);
}

} // namespace FwImage
