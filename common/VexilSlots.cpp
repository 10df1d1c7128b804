#include "common/VexilSlots.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "StringTool/StringTool.h"
#include "common/BoardLayout.h"
#include "common/BootEnvironment.h"
#include "common/BootTrial.h"
#include "common/GenerationSwitch.h"
#include "common/ImageFormat.h"
#include "common/Manifest.h"
#include "common/VolumeCheck.h"
#include "common/linuxFlash/Ubi.h"

namespace VexilSlots {

namespace {

using FwImage::s_manifest;
using FwImage::s_volumes;
using FwImage::slotCount;
using FwImage::VolumeSlot;
using StringTool::stringf;
using Name = const char* VolumeSlot::*;

// One volume as the kernel shows it.
struct VolumeState {
    bool present = false;
    std::string type;
    unsigned long long size = 0;
    unsigned long long dataBytes = 0;
    bool updMarker = false;
    bool corrupted = false;
};

// The current or the previous generation: its volumes and its manifest, if it has one.
struct Generation {
    const char* label = "";
    Name name = nullptr;
    VolumeState volumes[slotCount];
    int present = 0;
    bool hasManifest = false;
    std::string manifestProblem; // why a manifest volume that is there cannot be used
    Manifest::Record manifest;
};

unsigned long long number(Ubi::Device& device, const std::string& volume, const char* attribute) {
    std::string text;
    return device.volumeAttribute(volume, attribute, text) ? strtoull(text.c_str(), nullptr, 10)
                                                           : 0;
}

Generation look(Ubi::Device& device, const char* label, Name name) {
    Generation generation;
    generation.label = label;
    generation.name = name;
    for (int slot = 0; slot < slotCount; ++slot) {
        const std::string volume = s_volumes[slot].*name;
        VolumeState& state = generation.volumes[slot];
        int volId;
        state.present = device.findUbiVolumeId(volume, volId);
        if (!state.present) {
            continue;
        }
        ++generation.present;
        state.size = device.volumeCapacity(volume, state.size) ? state.size : 0;
        state.type = device.volumeAttribute(volume, "type", state.type) ? state.type : "";
        state.dataBytes = number(device, volume, "data_bytes");
        state.updMarker = number(device, volume, "upd_marker") != 0;
        state.corrupted = number(device, volume, "corrupted") != 0;
    }
    // The current set's manifest is manifest_trial while the set is on trial.
    const std::string manifest =
        name == &VolumeSlot::name ? GenerationSwitch::currentManifest(device) : s_manifest.*name;
    generation.hasManifest = Manifest::read(device, manifest, generation.manifest,
                                            generation.manifestProblem) == Manifest::Found::Good;
    return generation;
}

std::string describe(const Generation& generation) {
    if (generation.present == 0) {
        return "absent";
    }
    if (!generation.hasManifest) {
        return generation.manifestProblem.empty()
                   ? "no manifest (installed before manifests were written)"
                   : "its manifest cannot be used: " + generation.manifestProblem;
    }
    const Manifest::Record& m = generation.manifest;
    std::string text = stringf(
        "version 0x%x \"%s\", ", m.header.version,
        FwImage::printable(FwImage::fieldText(m.header.descr, sizeof m.header.descr)).c_str());
    if (!m.signedImage) {
        return text + "not signed";
    }
    return text + "signed by key " + SigningKeys::keyIdHex(m.keyId) +
           (m.verified ? " (verified by a trusted key)" : " (not verified: no trusted keys)");
}

// A generation installed before manifests were written: there is nothing to check it against.
bool unmanifested(const Generation& generation) {
    return generation.present > 0 && !generation.hasManifest && generation.manifestProblem.empty();
}
const char* const noManifest = "no manifest to check it against";

// Whether the generation is whole, read back in full; false with why not in `problem`.
bool whole(Ubi::Device& device, const Generation& generation, bool needManifest,
           std::string& problem) {
    if (generation.present == 0) {
        problem = "absent";
        return false;
    }
    for (int slot = 0; slot < slotCount; ++slot) {
        if (!generation.volumes[slot].present) {
            problem = std::string("no ") + s_volumes[slot].*generation.name;
            return false;
        }
    }
    if (!generation.hasManifest && (needManifest || !generation.manifestProblem.empty())) {
        problem = generation.manifestProblem.empty() ? noManifest : generation.manifestProblem;
        return false;
    }
    for (int slot = 0; slot < slotCount; ++slot) {
        const std::string name = s_volumes[slot].*generation.name;
        const BlockHeader& block = generation.manifest.blocks[slot];
        // Without a manifest only the kernel's flags can tell, asked after an open: the kernel
        // checks a static volume's data when it is first opened.
        if (generation.hasManifest
                ? !VolumeCheck::verify(device, name, s_volumes[slot].type, block.size, block.crc,
                                       VolumeCheck::Read::All, problem)
                : !VolumeCheck::flags(device, name, VolumeCheck::Open::First, problem)) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> unfinished(Ubi::Device& device) {
    std::vector<std::string> names;
    int volId;
    for (const VolumeSlot& slot : s_volumes) {
        if (device.findUbiVolumeId(slot.newName, volId)) {
            names.push_back(slot.newName);
        }
    }
    if (device.findUbiVolumeId(s_manifest.newName, volId)) {
        names.push_back(s_manifest.newName);
    }
    return names;
}

void printStatus(const Generation& generation) {
    printf("%s generation: %s\n", generation.label, describe(generation).c_str());
    if (generation.present > 0) {
        printf("  %-16s %-8s %10s %10s  %10s %-8s  %s\n", "volume", "type", "size", "data",
               "expected", "crc32", "upd_marker corrupted");
    }
    for (int slot = 0; slot < slotCount && generation.present > 0; ++slot) {
        const VolumeState& state = generation.volumes[slot];
        const std::string name = s_volumes[slot].*generation.name;
        if (!state.present) {
            printf("  %-16s missing\n", name.c_str());
            continue;
        }
        const BlockHeader& block = generation.manifest.blocks[slot];
        const std::string expected = generation.hasManifest
                                         ? stringf("%10u %08x", block.size, block.crc)
                                         : stringf("%10s %-8s", "-", "-");
        printf("  %-16s %-8s %10llu %10llu  %s  %-10d %d\n", name.c_str(), state.type.c_str(),
               state.size, state.dataBytes, expected.c_str(), state.updMarker ? 1 : 0,
               state.corrupted ? 1 : 0);
    }
}

std::string statusJson(const Generation& generation) {
    if (generation.present == 0) {
        return "null";
    }
    const Manifest::Record& m = generation.manifest;
    std::string text = "{";
    if (generation.hasManifest) {
        text += stringf("\"version\": %u, \"descr\": ", m.header.version) +
                StringTool::jsonString(FwImage::fieldText(m.header.descr, sizeof m.header.descr)) +
                ", \"keyId\": " +
                (m.signedImage ? StringTool::jsonString(SigningKeys::keyIdHex(m.keyId))
                               : std::string("null")) +
                ", \"verified\": " + (m.verified ? "true" : "false");
    } else {
        text += "\"version\": null, \"manifestProblem\": " +
                (generation.manifestProblem.empty()
                     ? std::string("null")
                     : StringTool::jsonString(generation.manifestProblem));
    }
    text += ", \"volumes\": [";
    for (int slot = 0; slot < slotCount; ++slot) {
        const VolumeState& state = generation.volumes[slot];
        text += std::string(slot == 0 ? "" : ", ") +
                "{\"name\": " + StringTool::jsonString(s_volumes[slot].*generation.name) +
                ", \"present\": " + (state.present ? "true" : "false");
        if (state.present) {
            text += ", \"type\": " + StringTool::jsonString(state.type) +
                    stringf(", \"size\": %llu, \"dataBytes\": %llu, \"updMarker\": %s, "
                            "\"corrupted\": %s",
                            state.size, state.dataBytes, state.updMarker ? "true" : "false",
                            state.corrupted ? "true" : "false");
        }
        if (generation.hasManifest) {
            text += stringf(", \"expectedSize\": %u, \"expectedCrc\": %u", m.blocks[slot].size,
                            m.blocks[slot].crc);
        }
        text += "}";
    }
    return text + "]}";
}

// What the boot loader and the running system say of a trial: the marker, the boots left, and
// how this boot came about.
struct BootState {
    bool shown = false; // a board set up for trials, or one that booted through the script
    bool onTrial = false;
    long triesLeft = -1;
    BootTrial::Boot booted = BootTrial::Boot::Unknown;
    bool fellBack = false; // the boot loader left the set on trial
    bool untried = false;  // the set on trial went in after this boot
    std::string problem;   // why the environment cannot be read
};

BootState bootState(Ubi::Device& device, const Boot& boot) {
    BootState state;
    const BootEnvironment::Environment environment(boot.environment);
    state.onTrial = GenerationSwitch::onTrial(device);
    state.booted = BootTrial::bootedAs(boot.commandLine);
    state.triesLeft = BootTrial::triesLeft(environment);
    state.untried = state.onTrial && BootTrial::untried(environment);
    state.fellBack = state.onTrial && state.booted == BootTrial::Boot::Fallback && !state.untried;
    state.problem = environment.problem();
    state.shown = environment.state() != BootEnvironment::Environment::NotConfigured ||
                  state.onTrial || state.booted != BootTrial::Boot::Unknown;
    return state;
}

std::string describe(const BootState& state) {
    std::string text =
        state.onTrial ? (state.triesLeft < 0 ? std::string("on trial")
                                             : stringf("on trial, %ld tries left", state.triesLeft))
                      : "not on trial";
    text += std::string("; booted as ") + BootTrial::name(state.booted);
    if (state.fellBack) {
        text += ": the boot loader fell back to the previous generation (vexil-slots confirm "
                "makes it permanent)";
    }
    return state.problem.empty() ? text : text + "; the boot environment: " + state.problem;
}

std::string bootJson(const BootState& state) {
    if (!state.shown) {
        return "null";
    }
    return stringf("{\"onTrial\": %s, \"triesLeft\": %s, \"booted\": %s, \"fellBack\": %s, "
                   "\"environmentProblem\": %s}",
                   state.onTrial ? "true" : "false",
                   state.triesLeft < 0 ? "null" : std::to_string(state.triesLeft).c_str(),
                   state.booted == BootTrial::Boot::Unknown
                       ? "null"
                       : StringTool::jsonString(BootTrial::name(state.booted)).c_str(),
                   state.fellBack ? "true" : "false",
                   state.problem.empty() ? "null" : StringTool::jsonString(state.problem).c_str());
}

int status(Ubi::Device& device, const Boot& boot, bool asJson) {
    const Generation current = look(device, "current", &VolumeSlot::name);
    const Generation previous = look(device, "previous", &VolumeSlot::prevName);
    const std::vector<std::string> leftovers = unfinished(device);
    const BootState state = bootState(device, boot);
    if (asJson) {
        std::string names;
        for (const std::string& name : leftovers) {
            names += (names.empty() ? "" : ", ") + StringTool::jsonString(name);
        }
        printf("{\"current\": %s,\n \"previous\": %s,\n \"unfinished\": [%s],\n \"boot\": "
               "%s}\n",
               statusJson(current).c_str(), statusJson(previous).c_str(), names.c_str(),
               bootJson(state).c_str());
        return ExitDone;
    }
    printStatus(current);
    printStatus(previous);
    if (!leftovers.empty()) {
        std::string names;
        for (const std::string& name : leftovers) {
            names += (names.empty() ? "" : ", ") + name;
        }
        printf("unfinished install: %s\n", names.c_str());
    }
    if (state.shown) {
        printf("boot: %s\n", describe(state).c_str());
    }
    return ExitDone;
}

int check(Ubi::Device& device, bool asJson) {
    const Generation generations[] = {look(device, "current", &VolumeSlot::name),
                                      look(device, "previous", &VolumeSlot::prevName)};
    std::string problems[2];
    for (int i = 0; i < 2; ++i) {
        if (unmanifested(generations[i])) {
            problems[i] = noManifest;
        } else if (whole(device, generations[i], true, problems[i])) {
            problems[i].clear();
        }
    }
    if (asJson) {
        printf("{\"current\": {\"whole\": %s, \"problem\": %s},\n \"previous\": {\"whole\": %s, "
               "\"problem\": %s}}\n",
               problems[0].empty() ? "true" : "false",
               problems[0].empty() ? "null" : StringTool::jsonString(problems[0]).c_str(),
               problems[1].empty() ? "true" : "false",
               problems[1].empty() ? "null" : StringTool::jsonString(problems[1]).c_str());
    } else {
        for (int i = 0; i < 2; ++i) {
            const std::string verdict = problems[i].empty() ? "whole, " + describe(generations[i])
                                        : unmanifested(generations[i])
                                            ? "not checked: " + describe(generations[i])
                                            : "NOT WHOLE: " + problems[i];
            printf("%s generation: %s\n", generations[i].label, verdict.c_str());
        }
    }
    return problems[0].empty()            ? ExitDone
           : unmanifested(generations[0]) ? ExitNoManifest
                                          : ExitNotWhole;
}

// Swaps the current and the previous generation, all their names in one rename.
int rollback(Ubi::Device& device, bool unchecked) {
    const Generation previous = look(device, "previous", &VolumeSlot::prevName);
    std::string wrong;
    if (!whole(device, previous, !unchecked, wrong)) {
        printf("rollback refused: the previous generation is not whole: %s%s\n", wrong.c_str(),
               wrong == noManifest ? " (--unchecked rolls back to it all the same)" : "");
        return ExitNotWhole;
    }
    if (!device.renameVolumes(GenerationSwitch::renames(device, &VolumeSlot::prevName))) {
        // The kernel renames all or nothing, but a failed request does not say which it did.
        printf("rollback failed: the rename was refused%s; vexil-slots status shows which "
               "generation is current\n",
               Ubi::because(device.error()).c_str());
        return ExitFlashFailed;
    }
    printf("rolled back: the previous generation (%s) is current\n", describe(previous).c_str());
    return ExitDone;
}

// Ends a trial from the running system. Booted as the set on trial: it stays, by the one
// rename of manifest_trial to manifest. Booted as the fallback: the boot loader left the set,
// and the checked rollback rename makes the names match what runs again.
int confirm(Ubi::Device& device, const Boot& boot) {
    if (!GenerationSwitch::onTrial(device)) {
        puts("confirmed: nothing is on trial; the current set stays");
        return ExitDone;
    }
    const BootState state = bootState(device, boot);
    // A system booted without the boot script cannot tell; one booted through it can.
    if (state.booted != BootTrial::Boot::Unknown && state.untried) {
        puts("confirm refused: the set on trial went in during this boot and has not booted "
             "yet; reboot to try it");
        return ExitNotWhole;
    }
    if (state.fellBack) {
        puts("the set on trial was left: the boot loader fell back to the previous generation");
        const int status = rollback(device, false);
        return status == ExitDone ? ExitFellBack : status;
    }
    if (!device.renameVolumes({{FwImage::trialManifestName, s_manifest.name}})) {
        printf("confirm failed: the rename was refused%s; vexil-slots status shows whether the "
               "set is still on trial\n",
               Ubi::because(device.error()).c_str());
        return ExitFlashFailed;
    }
    printf("confirmed: the current generation (%s) stays current\n",
           describe(look(device, "current", &VolumeSlot::name)).c_str());
    return ExitDone;
}

// The commands, for the dispatch and the usage text alike.
struct Command {
    const char* name;
    const char* option; // the one option it takes, or nullptr
    bool changes;       // takes the lock: one changer of the volumes at a time
    int (*run)(Ubi::Device& device, const Boot& boot, bool option);
};

const Command s_commands[] = {
    {"status", "--json", false,
     [](Ubi::Device& d, const Boot& b, bool json) { return status(d, b, json); }},
    {"check", "--json", false,
     [](Ubi::Device& d, const Boot&, bool json) { return check(d, json); }},
    {"rollback", "--unchecked", true,
     [](Ubi::Device& d, const Boot&, bool unchecked) { return rollback(d, unchecked); }},
    {"confirm", nullptr, true, [](Ubi::Device& d, const Boot& b, bool) { return confirm(d, b); }},
};

void usage() {
    const char* lead = "usage: ";
    for (const Command& command : s_commands) {
        fprintf(stderr, "%svexil-slots %s%s%s%s\n", lead, command.name, command.option ? " [" : "",
                command.option ? command.option : "", command.option ? "]" : "");
        lead = "       ";
    }
}

} // namespace

int run(int argc, char* argv[]) {
    return run(argc, argv, LinuxFlash::linuxKernel(),
               {BootEnvironment::standardConfig, BootTrial::standardCommandLine});
}

int run(int argc, char* argv[], LinuxFlash::KernelInterface& kernel, const Boot& boot) {
    const Command* command = nullptr;
    for (const Command& candidate : s_commands) {
        command = argc >= 2 && argv[1] == std::string(candidate.name) ? &candidate : command;
    }
    const bool option = argc == 3 && command != nullptr && command->option != nullptr &&
                        argv[2] == std::string(command->option);
    if (command == nullptr || argc > 3 || (argc == 3 && !option)) {
        usage();
        return ExitUsage;
    }
    Ubi::Device device(kernel);
    if (!device.init(FwImage::partitionName)) {
        fprintf(stderr, "vexil-slots: no UBI device on %s\n", FwImage::partitionName);
        return ExitNoDevice;
    }
    if (command->changes && !device.lock()) {
        printf("%s refused: %s is in use by another install or vexil-slots\n", command->name,
               device.name().c_str());
        return ExitBusy;
    }
    return command->run(device, boot, option);
}

} // namespace VexilSlots
