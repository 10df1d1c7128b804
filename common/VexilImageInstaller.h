#pragma once

namespace VexilImageInstaller {

// Exit statuses of a run.
enum ExitStatus : int {
    ExitInstalled = 0,       // the new set is current
    ExitUsage = 1,           // wrong argument count
    ExitImageUnreadable = 2, // image file cannot be opened or read
    ExitImageRejected = 3,   // identity, CRC, length, early end or missing block
    ExitFlashFailed = 4,     // create, open, update, write, check or rename failed
    ExitNoDevice = -1,       // the UBI device cannot be set up
};

// Installs the image named by argv[1] onto the UBI device attached to
// "NAND.ubi", through whatever kernel interface is in use.
int run(int argc, char* argv[]);

} // namespace VexilImageInstaller
