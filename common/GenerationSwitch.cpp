#include "common/GenerationSwitch.h"

namespace GenerationSwitch {

Renames renames(Ubi::Device& device, Name incoming) {
    Renames list;
    const auto add = [&](const FwImage::VolumeSlot& slot) {
        if (device.volumeExists(slot.name)) {
            list.emplace_back(slot.name, slot.prevName);
        }
        if (device.volumeExists(slot.*incoming)) {
            list.emplace_back(slot.*incoming, slot.name);
        }
    };
    for (const FwImage::VolumeSlot& slot : FwImage::s_volumes) {
        add(slot);
    }
    add(FwImage::s_manifest);
    return list;
}

} // namespace GenerationSwitch
