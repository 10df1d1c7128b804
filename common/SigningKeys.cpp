#include "common/SigningKeys.h"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace SigningKeys {
namespace {

static_assert(publicKeySize == crypto_sign_PUBLICKEYBYTES, "Ed25519 public key size");
static_assert(secretKeySize == crypto_sign_SECRETKEYBYTES, "Ed25519 secret key size");
static_assert(keyIdSize <= crypto_hash_sha512_BYTES, "key ID is a prefix of SHA-512");

constexpr const char* publicWord = "vexil-ed25519-public";
constexpr const char* secretWord = "vexil-ed25519-secret";

std::string base64(const uint8_t* data, size_t size) {
    std::vector<char> text(sodium_base64_encoded_len(size, sodium_base64_VARIANT_ORIGINAL));
    sodium_bin2base64(text.data(), text.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
    return text.data();
}

std::string keyText(const char* word, const KeyId& id, const uint8_t* key, size_t size) {
    return std::string(word) + " " + keyIdHex(id) + " " + base64(key, size) + "\n";
}

// Checks the line's shape and decodes it into `key` (exactly `size` bytes) and
// the key ID it claims.
bool decodeKeyText(const std::string& text, const char* word, uint8_t* key, size_t size,
                   KeyId& claimedId, std::string& error) {
    ensureSodium();
    if (text.size() > maxKeyFileSize) {
        error = "larger than " + std::to_string(maxKeyFileSize) + " bytes";
        return false;
    }
    std::string line = text;
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    for (const char c : line) {
        if (c == '\n') {
            error = "more than one line";
            return false;
        }
        // libsodium 1.0.18 decodes some bytes above 0x7f as base64 digits where char is signed.
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
            error = "a byte that is not printable ASCII (a CR LF line end? a NUL?)";
            return false;
        }
    }

    const size_t firstSpace = line.find(' ');
    const size_t secondSpace =
        firstSpace == std::string::npos ? firstSpace : line.find(' ', firstSpace + 1);
    if (secondSpace == std::string::npos || line.find(' ', secondSpace + 1) != std::string::npos) {
        error = "not three words separated by single spaces";
        return false;
    }
    if (line.compare(0, firstSpace, word) != 0) {
        error = std::string("first word is not \"") + word + "\"";
        return false;
    }

    const std::string idText = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    size_t idSize = 0;
    if (sodium_hex2bin(claimedId.data(), claimedId.size(), idText.data(), idText.size(), nullptr,
                       &idSize, nullptr) != 0 ||
        idSize != keyIdSize || keyIdHex(claimedId) != idText) {
        error = "key ID is not " + std::to_string(2 * keyIdSize) + " lowercase hex digits";
        return false;
    }

    const std::string keyField = line.substr(secondSpace + 1);
    // Room for anything a key file could decode to, so a wrong length is named as such.
    std::array<uint8_t, maxKeyFileSize / 4 * 3> decoded;
    size_t decodedSize = 0;
    if (sodium_base642bin(decoded.data(), decoded.size(), keyField.data(), keyField.size(), nullptr,
                          &decodedSize, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0) {
        error = "key is not base64 (standard alphabet, padded)";
        return false;
    }
    if (decodedSize != size) {
        error =
            "key is " + std::to_string(decodedSize) + " bytes, expected " + std::to_string(size);
        return false;
    }
    std::copy(decoded.begin(), decoded.begin() + size, key);
    return true;
}

bool checkKeyId(const KeyId& claimed, const KeyId& actual, std::string& error) {
    if (claimed != actual) {
        error = "key ID " + keyIdHex(claimed) + " does not match the key, whose ID is " +
                keyIdHex(actual);
        return false;
    }
    return true;
}

} // namespace

void ensureSodium() {
    static const bool ready = sodium_init() >= 0;
    if (!ready) {
        fputs("libsodium cannot be initialised\n", stderr);
        abort();
    }
}

KeyId keyIdOf(const std::array<uint8_t, publicKeySize>& publicKey) {
    ensureSodium();
    uint8_t digest[crypto_hash_sha512_BYTES];
    crypto_hash_sha512(digest, publicKey.data(), publicKey.size());
    KeyId id;
    std::copy(digest, digest + id.size(), id.begin());
    return id;
}

std::string keyIdHex(const KeyId& id) {
    ensureSodium();
    char hex[2 * keyIdSize + 1];
    sodium_bin2hex(hex, sizeof hex, id.data(), id.size());
    return hex;
}

void generateKeyPair(PublicKey& publicKey, SecretKey& secretKey) {
    ensureSodium();
    crypto_sign_keypair(publicKey.bytes.data(), secretKey.bytes.data());
    publicKey.id = keyIdOf(publicKey.bytes);
    secretKey.id = publicKey.id;
}

std::string publicKeyText(const PublicKey& key) {
    return keyText(publicWord, key.id, key.bytes.data(), key.bytes.size());
}

std::string secretKeyText(const SecretKey& key) {
    return keyText(secretWord, key.id, key.bytes.data(), key.bytes.size());
}

bool parsePublicKey(const std::string& text, PublicKey& key, std::string& error) {
    KeyId claimed;
    if (!decodeKeyText(text, publicWord, key.bytes.data(), key.bytes.size(), claimed, error)) {
        return false;
    }
    key.id = keyIdOf(key.bytes);
    return checkKeyId(claimed, key.id, error);
}

bool parseSecretKey(const std::string& text, SecretKey& key, std::string& error) {
    KeyId claimed;
    if (!decodeKeyText(text, secretWord, key.bytes.data(), key.bytes.size(), claimed, error)) {
        return false;
    }
    // A damaged seed would sign with a key that the stored public half cannot verify.
    std::array<uint8_t, publicKeySize> derived;
    std::array<uint8_t, secretKeySize> rederived;
    crypto_sign_seed_keypair(derived.data(), rederived.data(), key.bytes.data());
    if (sodium_memcmp(rederived.data(), key.bytes.data(), key.bytes.size()) != 0) {
        error = "the secret key does not match its own public half";
        return false;
    }
    key.id = keyIdOf(derived);
    return checkKeyId(claimed, key.id, error);
}

} // namespace SigningKeys
