#pragma once

#include <sodium/crypto_hash_sha256.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/ImageFormat.h"
#include "common/SigningKeys.h"

// The signed description: the first block of a signed image. It repeats the image header and
// lists every block that follows, so an image is judged before any of it reaches the flash.
// Payload, integers big-endian:
//
//   0      1   format (1)
//   1      8   the signing key's ID
//   9     60   the image header, as in the image
//  69      1   N, the blocks that follow it (1 to 64)
//  70   44 N   each block in order: ID, size, CRC-32, SHA-256 of its payload
//  70+44N 64   Ed25519 signature of all the bytes before it
namespace ImageDescription {

constexpr uint32_t blockId = 0x56445343; // "VDSC"
constexpr uint8_t formatVersion = 1;
constexpr size_t digestSize = crypto_hash_sha256_BYTES;
constexpr size_t signatureSize = 64;
constexpr size_t maxEntries = 64;
constexpr size_t headerOffset = 1 + SigningKeys::keyIdSize;
constexpr size_t countOffset = headerOffset + sizeof(ImageHeader);
constexpr size_t entriesOffset = countOffset + 1;
constexpr size_t entrySize = sizeof(BlockHeader) + digestSize;

constexpr size_t payloadSize(size_t entries) {
    return entriesOffset + entries * entrySize + signatureSize;
}
constexpr size_t maxPayloadSize = payloadSize(maxEntries);
static_assert(payloadSize(3) == 266, "a description of the three slots is 266 bytes");

// Whether a block of this size can be a description at all.
bool plausibleSize(uint32_t size);

using Digest = std::array<uint8_t, digestSize>;

struct Entry {
    uint32_t id;
    uint32_t size;
    uint32_t crc;
    Digest digest;
};

// The SHA-256 of one payload, fed in pieces. In the background, a thread of its own hashes each
// piece while the caller goes on (the boards have two cores: the hashing runs beside the flash
// write of the same piece); nothing is copied, so the caller keeps the piece as it is until
// wait() returns.
class PayloadHash {
public:
    PayloadHash();
    ~PayloadHash();
    PayloadHash(const PayloadHash&) = delete;
    PayloadHash& operator=(const PayloadHash&) = delete;

    // From now on, on a thread of its own.
    void inBackground();
    void update(const void* data, size_t size);
    // Until the piece handed over is hashed.
    void wait();
    // Ends this payload's hash and starts the next one's.
    Digest finish();

private:
    struct Worker;

    crypto_hash_sha256_state m_state;
    std::unique_ptr<Worker> m_worker;
};

// The payload of a description of `entries` under the image header `rawHeader` (as in the
// image, its length counting the description), signed with `key`.
std::vector<uint8_t> build(const uint8_t* rawHeader, const std::vector<Entry>& entries,
                           const SigningKeys::SecretKey& key);

// A description's payload as received; nothing in it is trusted until signedBy() says so.
class Description {
public:
    // False with the reason when the bytes are no description of this format.
    [[nodiscard]] bool decode(const uint8_t* bytes, size_t size, std::string& why);

    const SigningKeys::KeyId& keyId() const { return m_keyId; }
    size_t count() const { return m_count; }
    Entry entry(size_t index) const;
    bool describesHeader(const uint8_t* rawHeader) const;
    // The image length that the header, this block and the listed blocks add up to.
    uint64_t listedLength() const;
    [[nodiscard]] bool signedBy(const SigningKeys::PublicKey& key) const;

private:
    std::array<uint8_t, maxPayloadSize> m_bytes = {};
    size_t m_size = 0;
    size_t m_count = 0;
    SigningKeys::KeyId m_keyId = {};
};

} // namespace ImageDescription
