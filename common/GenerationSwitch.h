#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/BoardLayout.h"
#include "common/linuxFlash/Ubi.h"

// The one rename request that switches a set of volumes in: the current set becomes the
// previous one and the incoming set (the "_new" set of an install, the "_prev" set of a
// rollback) the current one, each manifest with its set. The current set's manifest is
// manifest_trial while it is on trial; an incoming set put on trial gets that name. Installs,
// confirms and rollbacks build their requests here.
namespace GenerationSwitch {

using Renames = std::vector<std::pair<std::string, std::string>>;
using Name = const char* FwImage::VolumeSlot::*;

// The pairs (current name, new name) for the volumes there now, read afresh from the device.
Renames renames(Ubi::Device& device, Name incoming, bool trial = false);

// Whether the current set is on trial: its manifest is manifest_trial.
[[nodiscard]] bool onTrial(Ubi::Device& device);
// The current set's manifest name.
const char* currentManifest(Ubi::Device& device);

} // namespace GenerationSwitch
