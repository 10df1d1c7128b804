// Runs the UBI conformance cases against the kernel this program runs on, one
// line per check, so a VM can send the result back as text.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>

#include "ConformanceReport.h"
#include "common/linuxFlash/KernelInterface.h"
#include "common/linuxFlash/UbiRequests.h"

namespace {

// Detaches ubiN and attaches its partition again as ubiN, as ubidetach and
// ubiattach would: the device then shows what its flash holds.
bool reattach(unsigned ubi) {
    LinuxFlash::KernelInterface& kernel = LinuxFlash::linuxKernel();
    const std::string mtdNum = "/sys/class/ubi/ubi" + std::to_string(ubi) + "/mtd_num";
    char text[16] = "";
    LinuxFlash::KernelFile attribute(kernel, mtdNum, O_RDONLY);
    if (!attribute.isOpen() || attribute.read(text, sizeof text - 1) <= 0) {
        return false;
    }
    ubi_attach_req request;
    memset(&request, 0, sizeof request);
    request.ubi_num = static_cast<int32_t>(ubi);
    request.mtd_num = static_cast<int32_t>(strtol(text, nullptr, 10));
    int32_t number = request.ubi_num;
    const int control = kernel.open("/dev/ubi_ctrl", O_RDONLY);
    const bool done = control >= 0 && kernel.ioctl(control, UBI_IOCDET, &number) == 0 &&
                      kernel.ioctl(control, UBI_IOCATT, &request) == 0;
    if (control >= 0) {
        kernel.close(control);
    }
    return done;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s UBI_NUMBER [CASE]\n", argv[0]);
        return 2;
    }
    const unsigned ubi = unsigned(strtoul(argv[1], nullptr, 10));
    return printConformance(Conformance::runUbi(
        LinuxFlash::linuxKernel(), ubi, [ubi] { return reattach(ubi); }, argc == 3 ? argv[2] : ""));
}
