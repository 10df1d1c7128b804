#pragma once

#include <string>

#include "common/linuxFlash/KernelInterface.h"

// The board's generations: what is installed, whether the flash still holds it whole, going
// back one, and ending a trial boot. Commands: status [--json], check [--json],
// rollback [--unchecked], confirm.
namespace VexilSlots {

enum ExitStatus : int {
    ExitDone = 0,        // shown; the current generation is whole; rolled back
    ExitUsage = 1,       // wrong arguments
    ExitNoManifest = 2,  // check: the current generation has no manifest to check it against
    ExitNotWhole = 3,    // check: the current generation is not whole; rollback, confirm: refused
    ExitFlashFailed = 4, // the rename of a rollback failed
    ExitFellBack = 5,    // confirm: the boot loader had left the set on trial; made permanent
    ExitBusy = 6,        // another install or vexil-slots holds the UBI device
    ExitNoDevice = 255,  // the UBI device cannot be set up
};

// Where the boot loader's side of a trial is read: its environment's fw_env.config ("" for
// none) and the kernel command line the boot script made.
struct Boot {
    std::string environment;
    std::string commandLine;
};

int run(int argc, char* argv[]);
// The same through another provider of the kernel's MTD and UBI interface and of the boot.
int run(int argc, char* argv[], LinuxFlash::KernelInterface& kernel, const Boot& boot = {});

} // namespace VexilSlots
