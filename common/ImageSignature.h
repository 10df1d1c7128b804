#pragma once

#include <sodium/crypto_sign.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/SigningKeys.h"
#include "common/TrustStore.h"

// The signature block: an image's last block, signing every byte in front of
// its own block header (image header, block headers, payloads) with Ed25519ph.
// Payload: format byte, key ID, signature.
namespace ImageSignature {

constexpr uint32_t blockId = 0x56534947; // "VSIG"
constexpr uint8_t formatVersion = 1;
constexpr size_t signatureSize = 64;
constexpr size_t payloadSize = 1 + SigningKeys::keyIdSize + signatureSize;
static_assert(payloadSize == 73, "the signature block's payload is 73 bytes");

using Payload = std::array<uint8_t, payloadSize>;

struct Verdict {
    enum Outcome {
        Good,
        Malformed, // wrong payload size or unknown format
        Untrusted, // no trusted key has the block's key ID
        BadSignature,
    };
    Outcome outcome;
    SigningKeys::KeyId keyId; // zero when Malformed
};

// Hashes the signed bytes as they stream past; sign or verify at the end.
// Neither allocates; both leave the hasher as it was.
class Hasher {
public:
    Hasher();
    void update(const void* data, size_t size);
    Payload sign(const SigningKeys::SecretKey& key) const;
    // A store that is not Loaded trusts no key.
    Verdict verify(const void* payload, size_t size, const SigningKeys::TrustStore& store) const;

private:
    crypto_sign_state m_state;
};

// The installer keeps one for the length of an install; a SHA-512 state and nothing more.
static_assert(sizeof(Hasher) <= 256, "a hasher stays small");

} // namespace ImageSignature
