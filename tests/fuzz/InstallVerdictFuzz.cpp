// libFuzzer target: the installer on a simulated board and vexil-image's verdict must agree on
// every image, and neither may hang. Built and run by scripts/fuzz.sh.
//
// Input: one flag byte, then the image. Flag bit 0: the board trusts one key; bit 1: the image
// is first signed with that key, as vexil-image signs; bit 2: then one byte of it is flipped
// (the next input byte says which).

#include <endian.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/Crc32.h"
#include "common/ImageCheck.h"
#include "common/ImageStream.h"
#include "common/VexilImageInstaller.h"
#include "sim/Simulator.h"
#include "tests/support/MemorySource.h"
#include "tests/support/RfcKey.h"
#include "tests/support/SignedImage.h"

namespace {

std::string s_store;
std::string s_noStore;
int s_output = -1; // the installer's standard output goes here

// The installer's exit status and the reason of its "install stopped:" line.
int install(const std::vector<uint8_t>& image, const std::string& store, std::string& reason) {
    const int file = memfd_create("image", 0);
    if (file < 0 || write(file, image.data(), image.size()) != ssize_t(image.size())) {
        abort();
    }
    Sim::Simulator sim;
    sim.attachUbi(sim.addMtd("NAND.ubi"), FwImage::standardLebSize, 1000, 2048);
    std::string path = "/proc/self/fd/" + std::to_string(file);
    char name[] = "VexilImageInstaller";
    char* argv[] = {name, &path[0], nullptr};
    // libFuzzer may have put /dev/null on standard output since the last run.
    fflush(stdout);
    dup2(s_output, STDOUT_FILENO);
    ftruncate(s_output, 0);
    lseek(s_output, 0, SEEK_SET);
    const int status = VexilImageInstaller::run(2, argv, sim, store);
    fflush(stdout);
    close(file);
    std::string out(size_t(lseek(s_output, 0, SEEK_CUR)), '\0');
    pread(s_output, &out[0], out.size(), 0);
    // Only a whole last line counts: the image's own header text is echoed and may hold the marker.
    const std::string marker = "install stopped: ";
    if (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    const std::string last = out.substr(out.rfind('\n') + 1);
    reason = last.compare(0, marker.size(), marker) == 0 ? last.substr(marker.size()) : "";
    return status;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    s_store = RfcKey::trustStore();
    s_noStore = s_store + "/absent";
    s_output = memfd_create("stdout", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t flags = data[0];
    std::vector<uint8_t> image(data + 2, data + size);
    if ((flags & 2) != 0) {
        image = signBytes(image, RfcKey::secretKey());
        if ((flags & 4) != 0 && !image.empty()) {
            image[data[1] % image.size()] ^= 0x10;
        }
    }
    const std::string& storeDir = (flags & 1) != 0 ? s_store : s_noStore;
    const SigningKeys::TrustStore store = SigningKeys::TrustStore::load(storeDir);

    FwImage::Parser parser;
    FwImage::ImageCheck check(FwImage::standardCapacity, store);
    MemorySource source(image);
    check.lookAhead(source);
    FwImage::readImage(source, parser, check);
    fflush(stdout);
    std::string verdict;
    const bool accepted = check.accepts(parser, verdict);
    if (accepted != verdict.empty()) {
        abort();
    }

    std::string reason;
    const int status = install(image, storeDir, reason);
    const bool agree =
        verdict.empty() ? status == 0 && reason.empty() : status == 3 && reason == verdict;
    if (!agree) {
        fprintf(stderr, "disagreement: vexil-image says '%s', the installer %d '%s'\n",
                verdict.c_str(), status, reason.c_str());
        abort();
    }
    return 0;
}
