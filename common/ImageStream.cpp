#include "common/ImageStream.h"

#include <cerrno>
#include <memory>

namespace FwImage {

StreamEnd readImage(ByteSource& source, Parser& parser, StreamVisitor& visitor) {
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[maxChunkSize]);
    StreamEnd end{StreamEnd::EndOfStream, 0, 0, 0};
    parser.begin();
    while (parser.end() == Parser::Ok) {
        const unsigned needed = parser.m_bytesNeeded;
        const long got = source.read(buffer.get(), needed);
        if (got < 0) {
            end.cause = StreamEnd::ReadError;
            end.error = errno;
            return end;
        }
        if (static_cast<unsigned long>(got) < needed) {
            end.leftover = static_cast<uint64_t>(got);
            return end;
        }
        end.consumed += needed;
        switch (parser.parse(buffer.get(), needed)) {
        case Parser::ResultImageHeader:
            visitor.onImageHeader(parser, buffer.get());
            break;
        case Parser::ResultBlockHeader:
            if (parser.m_bytesNeeded > maxChunkSize) {
                parser.m_bytesNeeded = maxChunkSize;
            }
            visitor.onBlockHeader(parser, buffer.get());
            break;
        case Parser::ResultPayload:
            visitor.onPayload(parser, buffer.get(), needed);
            break;
        default:
            break;
        }
    }
    end.cause = StreamEnd::Stopped;
    return end;
}

} // namespace FwImage
