#include "common/ImageSignature.h"

#include <algorithm>
#include <cstring>

namespace ImageSignature {
namespace {

static_assert(signatureSize == crypto_sign_BYTES, "Ed25519 signature size");

constexpr size_t keyIdOffset = 1;
constexpr size_t signatureOffset = keyIdOffset + SigningKeys::keyIdSize;

} // namespace

Hasher::Hasher() {
    SigningKeys::ensureSodium();
    crypto_sign_init(&m_state);
}

void Hasher::update(const void* data, size_t size) {
    crypto_sign_update(&m_state, static_cast<const unsigned char*>(data), size);
}

Payload Hasher::sign(const SigningKeys::SecretKey& key) const {
    // Finishing consumes the hash state; a copy keeps the hasher reusable.
    crypto_sign_state state = m_state;
    Payload payload;
    payload[0] = formatVersion;
    std::copy(key.id.begin(), key.id.end(), payload.begin() + keyIdOffset);
    crypto_sign_final_create(&state, payload.data() + signatureOffset, nullptr, key.bytes.data());
    return payload;
}

Verdict Hasher::verify(const void* payload, size_t size,
                       const SigningKeys::TrustStore& store) const {
    const auto* bytes = static_cast<const uint8_t*>(payload);
    Verdict verdict = {Verdict::Malformed, {}};
    if (size != payloadSize || bytes[0] != formatVersion) {
        return verdict;
    }
    memcpy(verdict.keyId.data(), bytes + keyIdOffset, verdict.keyId.size());
    const SigningKeys::PublicKey* key = store.find(verdict.keyId);
    if (key == nullptr) {
        verdict.outcome = Verdict::Untrusted;
        return verdict;
    }
    crypto_sign_state state = m_state;
    const bool good =
        crypto_sign_final_verify(&state, bytes + signatureOffset, key->bytes.data()) == 0;
    verdict.outcome = good ? Verdict::Good : Verdict::BadSignature;
    return verdict;
}

} // namespace ImageSignature
