#include "common/GenerationSwitch.h"

namespace GenerationSwitch {

bool onTrial(Ubi::Device& device) {
    return device.volumeExists(FwImage::trialManifestName);
}

const char* currentManifest(Ubi::Device& device) {
    return onTrial(device) ? FwImage::trialManifestName : FwImage::s_manifest.name;
}

Renames renames(Ubi::Device& device, Name incoming, bool trial) {
    Renames list;
    for (const FwImage::VolumeSlot& slot : FwImage::s_volumes) {
        if (device.volumeExists(slot.name)) {
            list.emplace_back(slot.name, slot.prevName);
        }
        if (device.volumeExists(slot.*incoming)) {
            list.emplace_back(slot.*incoming, slot.name);
        }
    }
    const FwImage::VolumeSlot& manifest = FwImage::s_manifest;
    const char* current = currentManifest(device);
    if (device.volumeExists(current)) {
        list.emplace_back(current, manifest.prevName);
    }
    if (device.volumeExists(manifest.*incoming)) {
        list.emplace_back(manifest.*incoming, trial ? FwImage::trialManifestName : manifest.name);
    }
    return list;
}

} // namespace GenerationSwitch
