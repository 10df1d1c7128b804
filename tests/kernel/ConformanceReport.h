#pragma once

#include <cstdio>
#include <vector>

#include "conformance/UbiConformance.h"

// One line per check and a count, the same for the kernel and the simulator so
// that the two reports compare with diff. Exit status: 0 when all passed.
inline int printConformance(const std::vector<Conformance::Check>& checks) {
    unsigned passed = 0;
    unsigned failed = 0;
    for (const Conformance::Check& check : checks) {
        if (check.passed) {
            ++passed;
            printf("PASS %s: %s\n", check.caseName.c_str(), check.check.c_str());
        } else {
            ++failed;
            printf("FAIL %s: %s: %s\n", check.caseName.c_str(), check.check.c_str(),
                   check.detail.c_str());
        }
    }
    printf("%u passed, %u failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
