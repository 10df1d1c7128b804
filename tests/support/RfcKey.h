#pragma once

#include <string>

// The Ed25519 key of RFC 8032's "abc" test as key files; key ID and base64 computed with Python's
// hashlib.
namespace RfcKey {

inline const std::string id = "b3f39d3b985a7db0";
inline const std::string publicBase64 = "7Bcrk61eVjv0kyxw4SRQNMNUZ+8u/U1k6/gZaDRn4r8=";
inline const std::string publicFile = "vexil-ed25519-public " + id + " " + publicBase64 + "\n";
inline const std::string secretFile =
    "vexil-ed25519-secret " + id +
    " gz/mJAkje51i7HdYdSCRHpp1nOwdGXVbfakBuW3KPULsFyuTrV5WO/STLHDhJFA0w1Rn7y79TWTr+BloNGfivw==\n";

} // namespace RfcKey
