#pragma once

#include <string>

#include "Platform/Transcript.h"

// Keeps what a run says, progress and system errors apart.
class StringTranscript : public Platform::Transcript {
public:
    std::string text;
    std::string errors;

protected:
    void out(const std::string& line) override { text += line; }
    void err(const std::string& line) override { errors += line; }
};
