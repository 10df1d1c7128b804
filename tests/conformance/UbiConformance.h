#pragma once

#include <string>
#include <vector>

#include "common/linuxFlash/KernelInterface.h"

namespace Sim {

struct ConformanceCheck {
    std::string caseName;
    std::string check;
    bool passed;
    std::string detail; // what was expected and what came, for a failed check
};

// The UBI behaviour the installer and the simulator rely on, as request sequences with their
// expected errors, sysfs values and contents. It uses nothing but the kernel interface, so the
// same cases run against the simulator and against a real kernel (a static binary in a VM).
// The device ubiN is the suite's own: every case starts by removing all its volumes, and the
// last case leaves it empty. Cases that need more eraseblocks than the device has report a
// passed check that says so. `onlyCase`, when not empty, runs the case of that name alone.
std::vector<ConformanceCheck> runUbiConformance(LinuxFlash::KernelInterface& kernel,
                                                unsigned ubiNumber,
                                                const std::string& onlyCase = "");

std::vector<std::string> ubiConformanceCases();

} // namespace Sim
