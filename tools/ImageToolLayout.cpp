// The board's layout for scripts, so that they ask instead of copying numbers.

#include "common/BoardLayout.h"
#include "common/Manifest.h"
#include "tools/ImageTool.h"

namespace ImageTool {

namespace {

const char* const layoutHelp =
    "Usage: vexil-image layout\n"
    "\n"
    "Prints the board's layout as shell variable assignments, for scripts to source:\n"
    "VEXIL_PARTITION, VEXIL_SLOTS (the slots in switch order) and for each slot S\n"
    "VEXIL_S_BLOCK, VEXIL_S_TYPE (static or dynamic) and VEXIL_S_SIZE (bytes), then\n"
    "VEXIL_MANIFEST_SIZE, VEXIL_MANIFEST_BYTES and VEXIL_TRIAL_MANIFEST.\n"
    "\n"
    "Exit status: 0 printed, 2 usage error, 3 output error.\n";

const char* typeName(Ubi::VolumeType type) {
    return type == Ubi::VolumeType::Static ? "static" : "dynamic";
}

} // namespace

int runLayout(int argc, char** argv, FILE* out) {
    std::vector<Option> options;
    std::vector<std::string> operands;
    int status = ExitGood;
    if (!startCommand(argc, argv, out, "layout", layoutHelp, {}, {}, options, operands, status)) {
        return status;
    }
    if (!operands.empty()) {
        return usageError("layout", "takes no arguments");
    }
    std::string slots;
    for (const FwImage::VolumeSlot& slot : FwImage::s_volumes) {
        slots += (slots.empty() ? "" : " ") + std::string(slot.name);
    }
    fprintf(out, "VEXIL_PARTITION=%s\nVEXIL_SLOTS=\"%s\"\n", FwImage::partitionName, slots.c_str());
    for (const FwImage::VolumeSlot& slot : FwImage::s_volumes) {
        fprintf(out, "VEXIL_%s_BLOCK=%u\nVEXIL_%s_TYPE=%s\nVEXIL_%s_SIZE=%u\n", slot.name,
                slot.blockId, slot.name, typeName(slot.type), slot.name, slot.size);
    }
    fprintf(out, "VEXIL_MANIFEST_SIZE=%u\nVEXIL_MANIFEST_BYTES=%zu\nVEXIL_TRIAL_MANIFEST=%s\n",
            FwImage::s_manifest.size, Manifest::encodedSize, FwImage::trialManifestName);
    return ExitGood;
}

} // namespace ImageTool
