#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/BoardLayout.h"
#include "common/FwImageParser.h"
#include "common/ImageDescription.h"
#include "common/ImageStream.h"
#include "common/TrustStore.h"

namespace FwImage {

// The installer's judgement of an image stream, apart from anything the flash does: identity,
// the parser's checks, each slot block against its volume, a whole block for every slot and,
// when the board trusts keys, the signed description. The installer and vexil-image both judge
// with it, so they say the same of every image. A rejection found while reading stops the
// stream through the parser's setError; the first one found is the one reported. It is a
// visitor of the image stream by itself, and a part of the visitors that do more.
//
// With a trust store the description must come first and verify before any other block is
// let through, and each block's header must be its entry's: a refused image is refused before
// its first slot is touched. Only a payload changed so that its size and CRC-32 still match
// gets past its header; its digest refuses it at its end.
class ImageCheck : public StreamVisitor {
public:
    // The bytes a slot's "_new" volume holds, or will hold once it is made.
    using Capacity = std::function<uint64_t(int slot)>;

    // A store that is not Absent makes a verified description a condition of every image.
    ImageCheck(Capacity capacity, const SigningKeys::TrustStore& store);

    // With a trust store, refuses an image whose verified version is lower than `version`.
    void requireVersion(uint32_t version) {
        m_requiredVersion = version;
        m_versionRequired = true;
    }
    // Lets the check read the block headers ahead of the stream, where `source` can: then a
    // block header that is not its entry is refused before any slot is touched, not only
    // before its own.
    void lookAhead(ByteSource& source) { m_source = &source; }
    // Hashes payload pieces on a thread of its own from now on: onPayload returns before its
    // piece is hashed, and the caller keeps the piece as it is until settle() returns.
    void hashInBackground() { m_hash.inBackground(); }
    void settle() { m_hash.wait(); }
    // Stops the stream at once with `reason`, as the first rejection.
    void reject(Parser& parser, const std::string& reason);

    // Each is told of the piece the parser just took, with its bytes as in the file.
    void onImageHeader(Parser& parser, const uint8_t* raw) override;
    void onBlockHeader(Parser& parser, const uint8_t* raw) override;
    void onPayload(Parser& parser, const uint8_t* data, unsigned size) override;

    // The image header with its integers in host order, once it has arrived.
    const ImageHeader& header() const { return m_header; }
    // The slot that the block being read fills, or -1.
    int slotOfBlock() const { return m_slot; }
    // Once the stream has ended: whether the image may be switched in; false with why not in
    // `reason`.
    [[nodiscard]] bool accepts(const Parser& parser, std::string& reason) const;
    // Odd but valid things about the image, one line each.
    const std::vector<std::string>& warnings() const { return m_warnings; }

    // Whether the image begins with a description block.
    bool hasDescription() const { return m_descriptionSeen; }
    // The key a well-formed description names: a claim until verified() says otherwise.
    [[nodiscard]] bool claimedKey(SigningKeys::KeyId& keyId) const;
    // Whether a trusted key of the store verified the description.
    bool verified() const { return m_descriptionVerified; }
    // Why the description was not verified, once it has ended; empty when it was.
    const std::string& descriptionProblem() const { return m_descriptionProblem; }

private:
    std::string rejection(const Parser& parser) const;
    void checkDescription(Parser& parser);
    void checkAhead(Parser& parser);
    bool matchesEntry(Parser& parser, const BlockHeader& block, int slot);
    std::string entryMismatch(const BlockHeader& block, size_t index) const;

    Capacity m_capacity;
    const SigningKeys::TrustStore& m_store;
    ByteSource* m_source = nullptr;
    bool m_enforced;
    bool m_versionRequired = false;
    uint32_t m_requiredVersion = 0;
    std::string m_rejection;
    std::vector<std::string> m_warnings;
    int m_slot = -1;
    bool m_slotVerified[slotCount] = {};
    unsigned m_slotBlocks[slotCount] = {};
    unsigned m_blocks = 0;
    ImageHeader m_header = {};
    uint8_t m_rawHeader[sizeof(ImageHeader)] = {};

    bool m_inDescription = false;
    bool m_descriptionSeen = false;
    bool m_descriptionWellFormed = false;
    bool m_descriptionVerified = false;
    std::string m_descriptionProblem;
    std::array<uint8_t, ImageDescription::maxPayloadSize> m_descriptionBytes = {};
    uint32_t m_descriptionSize = 0;
    uint32_t m_descriptionHave = 0;
    ImageDescription::Description m_description;
    size_t m_nextEntry = 0;
    ImageDescription::Entry m_entry = {};
    ImageDescription::PayloadHash m_hash;
};

} // namespace FwImage
