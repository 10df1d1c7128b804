#include "common/FwImageParser.h"

#include <cstdio>
#include <cstring>

#include "Platform/Console.h"
#include "Platform/pf_platform.h"
#include "common/Crc32.h"

namespace FwImage {
namespace {

// Piece size per state; ReadBlockData gets the block's size from its header.
constexpr uint32_t bytesNeededOnEntry[] = {2048, sizeof(ImageHeader), sizeof(BlockHeader), 0, 2048};

[[noreturn]] void assertionFailed(const char* condition, const char* reason, int line) {
    Platform::Console::printf("assertion '%s' failed (%s) at %s:%d\n", condition, reason, __FILE__,
                              line);
    fflush(stdout); // abort() would drop the line still in the buffer
    pf_abort();
}

} // namespace

Parser::Parser(Platform::Transcript& transcript)
    : m_state(Idle), m_status(Ok), m_imageLength(0), m_bytesProcessed(0), m_bytesNeeded(0),
      m_blockRemaining(0), m_blockCrc(0), m_imageHeader(), m_blockHeader(),
      m_transcript(transcript) {}

void Parser::begin() {
    m_status = Ok;
    changeState(ReadImageHeader);
    m_bytesProcessed = 0;
}

void Parser::setError(Status status) {
    m_transcript.printf("error: %d\n", static_cast<int>(status));
    m_status = status;
    changeState(Idle);
}

void Parser::changeState(State state) {
    if (state == m_state) {
        return;
    }
    m_transcript.printf("state changed '%d' -> '%d'\n", int(m_state), int(state));
    m_state = state;
    m_bytesNeeded = bytesNeededOnEntry[state];
}

int Parser::parse(const void* data, unsigned size) {
    if (m_status != Ok) {
        return ResultNothing;
    }
    if (size != m_bytesNeeded) {
        assertionFailed("size == m_bytesNeeded", "size must be equal bytesNeeded", __LINE__);
    }
    // No declared length reaches past 32 bits: a count that would wrap is already too long.
    if (size > UINT32_MAX - m_bytesProcessed) {
        setError(LengthError);
        return ResultTooLong;
    }
    m_bytesProcessed += size;

    switch (m_state) {
    case Idle:
        return ResultNothing;

    case ReadImageHeader:
        if (size != sizeof m_imageHeader) {
            assertionFailed("size == sizeof(ImageHeader)", "the header arrives whole", __LINE__);
        }
        m_imageHeader = decodeHeader(static_cast<const uint8_t*>(data));
        m_imageLength = m_imageHeader.length;
        changeState(ReadBlockHeader);
        return ResultImageHeader;

    case ReadBlockHeader:
        if (size != sizeof m_blockHeader) {
            assertionFailed("size == sizeof(BlockHeader)", "the header arrives whole", __LINE__);
        }
        m_blockHeader = decodeBlockHeader(static_cast<const uint8_t*>(data));
        changeState(ReadBlockData);
        m_bytesNeeded = m_blockHeader.size;
        m_blockRemaining = m_blockHeader.size;
        m_blockCrc = 0;
        return ResultBlockHeader;

    case ReadBlockData:
        if (size > m_blockRemaining) {
            assertionFailed("size <= m_blockRemaining", "a piece stays within its block", __LINE__);
        }
        m_blockCrc = Crc32::calculate(data, size, m_blockCrc);
        m_blockRemaining -= size;
        if (m_blockRemaining > 0) {
            // A caller's cap only ever lowers the piece size, so this keeps it within the block.
            if (m_blockRemaining < m_bytesNeeded) {
                m_bytesNeeded = m_blockRemaining;
            }
            return ResultPayload;
        }
        if (m_blockCrc != m_blockHeader.crc) {
            setError(CrcError);
            return ResultNothing;
        }
        if (m_bytesProcessed < m_imageLength) {
            changeState(ReadBlockHeader);
            return ResultPayload;
        }
        if (m_bytesProcessed == m_imageLength) {
            changeState(Done);
            return ResultPayload;
        }
        setError(LengthError);
        return ResultTooLong;

    case Done:
        setError(LengthError);
        return ResultTooLong;
    }
    return ResultTooLong;
}

} // namespace FwImage
