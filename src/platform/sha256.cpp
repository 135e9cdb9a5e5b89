// The part of the SHA-256 digest that is the same on every system: the digest as hex text.
#include "platform/platform.h"

namespace catadump::platform {

std::string Sha256::finish() {
    unsigned char digest[32];
    if (!finishDigest(digest)) return {};
    static const char hexDigits[] = "0123456789abcdef";
    std::string text(2 * sizeof digest, '0');
    for (size_t i = 0; i < sizeof digest; ++i) {
        text[2 * i] = hexDigits[digest[i] >> 4];
        text[2 * i + 1] = hexDigits[digest[i] & 15];
    }
    return text;
}

}  // namespace catadump::platform
