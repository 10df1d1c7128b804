#pragma once

#include <cstdint>

#include "Platform/Transcript.h"
#include "common/ImageFormat.h"

namespace FwImage {

// Verifies an image stream handed over in pieces of exactly m_bytesNeeded bytes
// and says after each piece what it was. Allocates nothing. Its state changes and errors go to
// the transcript it is given.
class Parser {
public:
    enum State : int32_t {
        Idle = 0,
        ReadImageHeader = 1,
        ReadBlockHeader = 2,
        ReadBlockData = 3,
        Done = 4,
    };

    enum Status : int32_t {
        Ok = 0,
        BadImage = 1, // set by the caller: wrong magic or product
        CrcError = 3,
        LengthError = 4,
        WriteError = 5, // set by the caller: a volume write fell short
    };

    // What parse() says about the piece it was given.
    enum Result : int {
        ResultNothing = 0,
        ResultImageHeader = 1,
        ResultBlockHeader = 2,
        ResultPayload = 3,
        ResultTooLong = 4,
    };

    explicit Parser(Platform::Transcript& transcript = Platform::Transcript::none());

    void begin();
    int parse(const void* data, unsigned size);
    Status end() const { return m_status; }
    void setError(Status status);
    void changeState(State state);

    // Public so the installer can read the headers and cap m_bytesNeeded during a
    // block's payload; the order of the fields is part of the contract.
    State m_state;
    Status m_status;
    uint32_t m_imageLength;
    uint32_t m_bytesProcessed;
    uint32_t m_bytesNeeded;
    uint32_t m_blockRemaining;
    uint32_t m_blockCrc;
    ImageHeader m_imageHeader; // length and version in host order
    BlockHeader m_blockHeader; // in host order

private:
    Platform::Transcript& m_transcript;
};

} // namespace FwImage
