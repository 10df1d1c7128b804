#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// Ed25519 signing keys and their one-line file texts:
//   vexil-ed25519-public <key ID> <base64 of the 32-byte public key>
//   vexil-ed25519-secret <key ID> <base64 of the 64-byte libsodium secret key>
// The key ID (16 lowercase hex digits in the files) is the first 8 bytes of
// the public key's SHA-512.
namespace SigningKeys {

constexpr size_t keyIdSize = 8;
constexpr size_t publicKeySize = 32;
constexpr size_t secretKeySize = 64;

// Key files longer than this are malformed; readers need not read further.
constexpr size_t maxKeyFileSize = 4096;

using KeyId = std::array<uint8_t, keyIdSize>;

struct PublicKey {
    KeyId id;
    std::array<uint8_t, publicKeySize> bytes;
};

struct SecretKey {
    KeyId id;
    std::array<uint8_t, secretKeySize> bytes; // seed, then the public key
};

// Initialises libsodium once; every function here calls it, other users of
// libsodium call it before their first use. Aborts when libsodium cannot start.
void ensureSodium();

KeyId keyIdOf(const std::array<uint8_t, publicKeySize>& publicKey);

// 16 lowercase hex digits.
std::string keyIdHex(const KeyId& id);

void generateKeyPair(PublicKey& publicKey, SecretKey& secretKey);

// The file texts, ending in "\n".
std::string publicKeyText(const PublicKey& key);
std::string secretKeyText(const SecretKey& key);

// Parse a key file's bytes. On failure they return false and say in `error`
// what is wrong, without quoting the file; `key` then holds nothing usable.
[[nodiscard]] bool parsePublicKey(const std::string& text, PublicKey& key, std::string& error);
[[nodiscard]] bool parseSecretKey(const std::string& text, SecretKey& key, std::string& error);

} // namespace SigningKeys
