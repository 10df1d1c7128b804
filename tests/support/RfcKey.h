#pragma once

#include <stdlib.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/SigningKeys.h"

// The Ed25519 key of RFC 8032's "abc" test as key files; key ID and base64 computed with Python's
// hashlib.
namespace RfcKey {

inline const std::string id = "b3f39d3b985a7db0";
inline const std::string publicBase64 = "7Bcrk61eVjv0kyxw4SRQNMNUZ+8u/U1k6/gZaDRn4r8=";
inline const std::string publicFile = "vexil-ed25519-public " + id + " " + publicBase64 + "\n";
inline const std::string secretFile =
    "vexil-ed25519-secret " + id +
    " gz/mJAkje51i7HdYdSCRHpp1nOwdGXVbfakBuW3KPULsFyuTrV5WO/STLHDhJFA0w1Rn7y79TWTr+BloNGfivw==\n";

inline std::vector<uint8_t> unhex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// The files parsed; a parser that no longer takes them stops the test or the fuzzer at once.
template <typename Key>
Key parsed(bool (*parse)(const std::string&, Key&, std::string&), const std::string& text) {
    Key key;
    std::string error;
    if (!parse(text, key, error)) {
        abort();
    }
    return key;
}
inline SigningKeys::PublicKey publicKey() {
    return parsed(SigningKeys::parsePublicKey, publicFile);
}
inline SigningKeys::SecretKey secretKey() {
    return parsed(SigningKeys::parseSecretKey, secretFile);
}

// A new trust store in /tmp that holds the public key alone.
inline std::string trustStore() {
    char dir[] = "/tmp/vexil-rfc-keys-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        abort();
    }
    std::ofstream(std::string(dir) + "/rfc.pub") << publicFile;
    return dir;
}

} // namespace RfcKey
