#pragma once

#include <string>

#include "common/linuxFlash/KernelInterface.h"

namespace VexilImageInstaller {

// Exit statuses of a run.
enum ExitStatus : int {
    ExitInstalled = 0,       // the new set is current
    ExitUsage = 1,           // wrong argument count
    ExitImageUnreadable = 2, // image file cannot be opened or read
    ExitImageRejected = 3,   // identity, CRC, length, early end or missing block
    ExitFlashFailed = 4,     // create, open, update, write, check or rename failed
    ExitTrustStore = 5,      // the board's trusted keys cannot be read
    ExitBusy = 6,            // another install or vexil-slots holds the UBI device
    ExitBootEnvironment = 7, // the boot environment cannot be used, or a set is on trial
    ExitNoDevice = 255,      // the UBI device cannot be set up
};

// Installs the image named by argv[1] onto the UBI device attached to "NAND.ubi", trusting
// the keys in /etc/vexil/trusted-keys and putting the new set on trial through the boot
// environment /etc/fw_env.config describes, when it exists.
int run(int argc, char* argv[]);
// The same through another provider of the kernel's MTD and UBI interface, with another
// directory of trusted keys and another boot environment configuration ("" for none).
int run(int argc, char* argv[], LinuxFlash::KernelInterface& kernel, const std::string& trustedKeys,
        const std::string& bootConfig = "");

} // namespace VexilImageInstaller
