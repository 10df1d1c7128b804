#pragma once

#include <cstdint>

#include "common/FwImageParser.h"

namespace FwImage {

// Where an image's bytes come from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Fills up to `size` bytes, fewer only at the end of the stream; -1 with errno on an error.
    virtual long read(void* buffer, unsigned size) = 0;
    // Exactly `size` bytes at `offset` from the stream's start, without moving on; false where
    // the source cannot look ahead (a pipe) or has no such bytes.
    [[nodiscard]] virtual bool readAt(uint64_t offset, void* buffer, unsigned size) {
        (void)offset, (void)buffer, (void)size;
        return false;
    }
};

// Told what each piece of an image was. A visitor may stop the stream with the parser's
// setError; the headers come as they lie in the file, before the parser converted them.
class StreamVisitor {
public:
    virtual ~StreamVisitor() = default;
    virtual void onImageHeader(Parser& parser, const uint8_t* raw) = 0;
    virtual void onBlockHeader(Parser& parser, const uint8_t* raw) = 0;
    virtual void onPayload(Parser& parser, const uint8_t* data, unsigned size) = 0;
};

struct StreamEnd {
    enum Cause { EndOfStream, Stopped, ReadError };
    Cause cause;
    int error;         // errno of a read error
    uint64_t consumed; // bytes the parser took
    uint64_t leftover; // bytes at the end, fewer than the parser asked for
};

// Feeds an image to the parser the one way every reader of images does: from begin(), exactly
// the bytes the parser asks for, payload in pieces of at most maxChunkSize, until the end of the
// stream or until the parser has an error, whichever comes first.
StreamEnd readImage(ByteSource& source, Parser& parser, StreamVisitor& visitor);

} // namespace FwImage
