#pragma once

#include "common/linuxFlash/KernelInterface.h"

// The board's generations: what is installed, whether the flash still holds it whole, and
// going back one. Commands: status [--json], check [--json], rollback [--unchecked].
namespace VexilSlots {

enum ExitStatus : int {
    ExitDone = 0,        // shown; the current generation is whole; rolled back
    ExitUsage = 1,       // wrong arguments
    ExitNoManifest = 2,  // check: the current generation has no manifest to check it against
    ExitNotWhole = 3,    // check: the current generation is not whole; rollback: refused
    ExitFlashFailed = 4, // the rename of a rollback failed
    ExitBusy = 6,        // another install or vexil-slots holds the UBI device
    ExitNoDevice = 255,  // the UBI device cannot be set up
};

int run(int argc, char* argv[]);
// The same through another provider of the kernel's MTD and UBI interface.
int run(int argc, char* argv[], LinuxFlash::KernelInterface& kernel);

} // namespace VexilSlots
