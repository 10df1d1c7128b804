#include "common/BootTrial.h"

#include <cstdlib>

#include "Platform/Files.h"

namespace BootTrial {
namespace {

bool hexDigits(const std::string& text) {
    return !text.empty() && text.size() <= 8 &&
           text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

} // namespace

Boot bootedAs(const std::string& commandLineFile) {
    std::string text;
    std::string reason;
    if (!Platform::readRegularFile(commandLineFile, 4096, text, reason)) {
        return Boot::Unknown;
    }
    const std::string key = "vexil.boot=";
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
        if (at != 0 && text[at - 1] != ' ') {
            continue;
        }
        const std::string value =
            text.substr(at + key.size(), text.find_first_of(" \n", at) - at - key.size());
        return value == "good"       ? Boot::Good
               : value == "trial"    ? Boot::Trial
               : value == "fallback" ? Boot::Fallback
                                     : Boot::Unknown;
    }
    return Boot::Unknown;
}

const char* name(Boot boot) {
    switch (boot) {
    case Boot::Good:
        return "good";
    case Boot::Trial:
        return "trial";
    case Boot::Fallback:
        return "fallback";
    case Boot::Unknown:
        break;
    }
    return "unknown";
}

bool triesFor(const BootEnvironment::Environment& environment, std::string& tries,
              std::string& problem) {
    if (!environment.get(maxTriesVariable, tries)) {
        tries = defaultTries;
        return true;
    }
    const unsigned long count = hexDigits(tries) ? strtoul(tries.c_str(), nullptr, 16) : 0;
    if (count == 0 || count > 0xff) {
        problem = std::string(maxTriesVariable) + " is '" + tries +
                  "'; it must be 1 to ff, in hex digits as U-Boot's setexpr reads them";
        return false;
    }
    return true;
}

long triesLeft(const BootEnvironment::Environment& environment) {
    std::string text;
    if (!environment.get(triesVariable, text) || !hexDigits(text)) {
        return -1;
    }
    return long(strtoul(text.c_str(), nullptr, 16));
}

bool untried(const BootEnvironment::Environment& environment) {
    std::string tries, problem;
    return triesFor(environment, tries, problem) &&
           triesLeft(environment) == long(strtoul(tries.c_str(), nullptr, 16));
}

} // namespace BootTrial
