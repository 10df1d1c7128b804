#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/linuxFlash/KernelInterface.h"

namespace Conformance {

struct Check {
    std::string caseName;
    std::string check;
    bool passed;
    std::string detail; // what was expected and what came, for a failed check
};

// Detaches the device under test and attaches it again, as a power cycle would; false when it
// did not come back.
using Reattach = std::function<bool()>;

// The UBI behaviour the installer and the simulator rely on, as request sequences with their
// expected errors, sysfs values and contents. It uses nothing but the kernel interface and
// `reattach`, so the same cases run against the simulator and against a real kernel (a static
// binary in a VM). The device ubiN is the suite's own: every case starts by removing all its
// volumes, and the run leaves it empty. A case that needs more than the device has reports a
// passed check that says so. `onlyCase`, when not empty, runs the case of that name alone.
std::vector<Check> runUbi(LinuxFlash::KernelInterface& kernel, unsigned ubiNumber,
                          const Reattach& reattach, const std::string& onlyCase = "");

std::vector<std::string> ubiCaseNames();

} // namespace Conformance
