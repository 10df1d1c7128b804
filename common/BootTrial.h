#pragma once

#include <string>

#include "common/BootEnvironment.h"

// Trial boots: a set an install switches in gets a few boots; the boot script counts them down
// in vexil_tries and boots the previous set once they are used up, until the running system
// confirms the set or makes the fallback permanent.
namespace BootTrial {

constexpr const char* triesVariable = "vexil_tries";
constexpr const char* maxTriesVariable = "vexil_max_tries";
constexpr const char* defaultTries = "3";
constexpr const char* standardCommandLine = "/proc/cmdline";

// How the running system was booted, as the boot script put it on the kernel command line
// (vexil.boot=...); Unknown without it.
enum class Boot { Unknown, Good, Trial, Fallback };
Boot bootedAs(const std::string& commandLineFile);
const char* name(Boot boot);

// The tries a new set gets: vexil_max_tries (hex digits as U-Boot's setexpr reads them, 1 to
// ff) or 3; false with why not when it holds something else.
[[nodiscard]] bool triesFor(const BootEnvironment::Environment& environment, std::string& tries,
                            std::string& problem);

// vexil_tries as a number, -1 when it is not set or not hex digits.
long triesLeft(const BootEnvironment::Environment& environment);

// vexil_tries still holds what an install armed, no boot has counted it down: the set on trial
// went in after this boot, even if this boot was a fallback from an earlier one.
bool untried(const BootEnvironment::Environment& environment);

} // namespace BootTrial
