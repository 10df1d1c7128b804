#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/FwImageParser.h"
#include "common/ImageSignature.h"
#include "common/ImageStream.h"
#include "common/TrustStore.h"

namespace FwImage {

// The installer's judgement of an image stream, apart from anything the flash does: identity,
// the parser's checks, each slot block against its volume, a whole block for every slot and,
// when the board trusts keys, the signature. The installer and vexil-image both judge with it,
// so they say the same of every image. A rejection found while reading stops the stream
// through the parser's setError; the first one found is the one reported. It is a visitor of
// the image stream by itself, and a part of the visitors that do more.
class ImageCheck : public StreamVisitor {
public:
    // The bytes a slot's "_new" volume holds, or will hold once it is made.
    using Capacity = std::function<uint64_t(int slot)>;

    // A store that is not Absent makes a good signature a condition of every image.
    ImageCheck(Capacity capacity, const SigningKeys::TrustStore& store);

    // Refuses an image whose version is lower than `version`, when the board trusts keys.
    void requireVersion(uint32_t version) {
        m_requiredVersion = version;
        m_versionRequired = true;
    }

    // Each is told of the piece the parser just took, with its bytes as in the file.
    void onImageHeader(Parser& parser, const uint8_t* raw) override;
    void onBlockHeader(Parser& parser, const uint8_t* raw) override;
    void onPayload(Parser& parser, const uint8_t* data, unsigned size) override;

    // The slot that the block being read fills, or -1.
    int slotOfBlock() const { return m_slot; }
    // Once the stream has ended: why the image may not be switched in, empty when it may.
    std::string verdict(const Parser& parser) const;
    // Odd but valid things about the image, one line each.
    const std::vector<std::string>& warnings() const { return m_warnings; }

    // What the image says of its signature block, if it has one.
    bool hasSignatureBlock() const { return m_signatureBlocks > 0; }
    // The key ID of a well-formed signature block.
    bool signedBy(SigningKeys::KeyId& keyId) const;

private:
    void reject(Parser& parser, const std::string& reason);
    std::string signatureVerdict() const;

    Capacity m_capacity;
    const SigningKeys::TrustStore& m_store;
    bool m_enforced;
    bool m_versionRequired = false;
    uint32_t m_requiredVersion = 0;
    ImageSignature::Hasher m_hasher;
    std::string m_rejection;
    std::vector<std::string> m_warnings;
    int m_slot = -1;
    bool m_slotVerified[slotCount] = {};
    unsigned m_slotBlocks[slotCount] = {};
    unsigned m_signatureBlocks = 0;
    bool m_inSignature = false;
    uint32_t m_signatureSize = 0;
    std::array<uint8_t, ImageSignature::payloadSize> m_signature = {};
    unsigned m_signatureHave = 0;
};

} // namespace FwImage
