#pragma once

#include <string>
#include <vector>

#include "common/SigningKeys.h"

namespace SigningKeys {

constexpr const char* trustedKeysDirectory = "/etc/vexil/trusted-keys";

// The board's trusted public keys: one public key file per entry of a
// directory; entries whose names start with "." are ignored.
class TrustStore {
public:
    enum State {
        Absent,  // the directory does not exist, nor anything on its path that could hide it
        Loaded,  // at least one key, every entry a good key file
        Refused, // anything else; reason() says why
    };

    // Never Loaded without keys: a store that exists but yields none is Refused.
    static TrustStore load(const std::string& directory);
    // A board without a trust store, for judging images as such a board does.
    static TrustStore none() { return TrustStore(Absent, "", {}); }

    State state() const { return m_state; }
    // One line naming the path and the cause; empty unless Refused.
    const std::string& reason() const { return m_reason; }
    const std::vector<PublicKey>& keys() const { return m_keys; }
    // nullptr when no key has that ID.
    const PublicKey* find(const KeyId& id) const;

private:
    TrustStore(State state, std::string reason, std::vector<PublicKey> keys);

    State m_state;
    std::string m_reason;
    std::vector<PublicKey> m_keys;
};

} // namespace SigningKeys
