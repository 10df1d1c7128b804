// Runs the UBI conformance cases against the kernel this program runs on, one
// line per check, so a VM can send the result back as text.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ConformanceReport.h"
#include "common/linuxFlash/KernelInterface.h"

int main(int argc, char* argv[]) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s UBI_NUMBER [CASE]\n", argv[0]);
        return 2;
    }
    const unsigned ubi = unsigned(strtoul(argv[1], nullptr, 10));
    return printConformance(
        Sim::runUbiConformance(LinuxFlash::linuxKernel(), ubi, argc == 3 ? argv[2] : ""));
}
