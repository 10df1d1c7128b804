#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/BoardLayout.h"
#include "common/linuxFlash/Ubi.h"

// The one rename request that switches a set of volumes in: the current set becomes the
// previous one and the incoming set (the "_new" set of an install, the "_prev" set of a
// rollback) the current one, each manifest with its set. Installs and rollbacks build it here.
namespace GenerationSwitch {

using Renames = std::vector<std::pair<std::string, std::string>>;
using Name = const char* FwImage::VolumeSlot::*;

// The pairs (current name, new name) for the volumes there now, read afresh from the device.
Renames renames(Ubi::Device& device, Name incoming);

} // namespace GenerationSwitch
