#pragma once

#include <cstdint>

#include "common/linuxFlash/UbiVolumeType.h"

// The board: the partition its UBI device is attached to, the volumes of a generation, and
// what UBI gives each of them. Programs, tools and (through `vexil-image layout`) scripts read
// it from here.
namespace FwImage {

// The MTD partition whose UBI device holds the generations.
constexpr const char* partitionName = "NAND.ubi";

// One volume of a generation on the board: the block that fills it, the names it has while
// current, after it was replaced and while it is being written, the type and size it is
// created with, and whether a board still boots with it empty.
struct VolumeSlot {
    const char* name;
    const char* prevName;
    const char* newName;
    uint32_t blockId;
    Ubi::VolumeType type;
    unsigned size;
    bool mayBeEmpty;
};

// The board's volumes, in the order they are switched in. No other block ID has a slot.
constexpr VolumeSlot s_volumes[] = {
    {"kernel", "kernel_prev", "kernel_new", 1, Ubi::VolumeType::Static, 6291456, false},
    {"devicetree", "devicetree_prev", "devicetree_new", 3, Ubi::VolumeType::Static, 131072, true},
    {"rootfs", "rootfs_prev", "rootfs_new", 4, Ubi::VolumeType::Dynamic, 36700160, false},
};
constexpr int slotCount = sizeof s_volumes / sizeof s_volumes[0];

// What each generation records of itself (its manifest), beside its volumes and renamed with
// them; no block fills it.
constexpr VolumeSlot s_manifest = {
    "manifest", "manifest_prev", "manifest_new", 0, Ubi::VolumeType::Static, 4096, false};

// While the current set is on trial its manifest has this name: the one marker of a trial,
// renamed in the same requests as the sets, which the boot script tests for.
constexpr const char* trialManifestName = "manifest_trial";

// The slot that a block ID fills, or -1 when it has none.
int findSlot(uint32_t blockId);

// The boards' logical eraseblock: 128 KiB eraseblocks less two 2 KiB pages of UBI headers.
constexpr unsigned standardLebSize = 126976;
// What UBI gives a volume of `size` bytes: whole eraseblocks.
uint64_t volumeCapacity(unsigned size, unsigned lebSize);
// What a slot's volume holds on a board of the standard geometry.
uint64_t standardCapacity(int slot);

} // namespace FwImage
