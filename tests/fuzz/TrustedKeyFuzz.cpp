// libFuzzer target: arbitrary bytes as a public and as a secret key file.
// Built and run by scripts/fuzz.sh.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/SigningKeys.h"

namespace {

[[noreturn]] void violated(const char* what) {
    fprintf(stderr, "key parser invariant violated: %s\n", what);
    abort();
}

// A parser that accepts a text must accept nothing but the one text its key
// formats to, give or take the final line feed; a refusal must say why.
template <typename Key>
void check(bool (*parse)(const std::string&, Key&, std::string&), std::string (*format)(const Key&),
           const std::string& input) {
    Key key;
    std::string error;
    if (!parse(input, key, error)) {
        if (error.empty()) {
            violated("refused without a reason");
        }
        return;
    }
    const std::string text = format(key);
    if (input != text && input + "\n" != text) {
        violated("accepted a text that is not the key's own");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    check(SigningKeys::parsePublicKey, SigningKeys::publicKeyText, input);
    check(SigningKeys::parseSecretKey, SigningKeys::secretKeyText, input);
    return 0;
}
