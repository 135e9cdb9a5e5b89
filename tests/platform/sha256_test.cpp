// SHA-256 through the platform layer: the known answers of the standard, fed in pieces of any size,
// across a move of the digest.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "platform/platform.h"

namespace catadump::platform {
namespace {

TEST(Sha256, KnownAnswersInAnyPiecesAndAfterAMove) {
    const struct {
        std::string message;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        for (size_t piece : {size_t{1}, size_t{7}, size_t{64}, c.message.size() + 1}) {
            Sha256 hash;
            size_t half = c.message.size() / 2;
            for (size_t at = 0; at < half; at += piece)
                hash.add(c.message.data() + at, std::min(piece, half - at));
            // A digest moved midway goes on where it was; the one it left gives none.
            Sha256 moved(std::move(hash));
            EXPECT_EQ(hash.finish(), "");
            for (size_t at = half; at < c.message.size(); at += piece) {
                moved.add(c.message.data() + at, std::min(piece, c.message.size() - at));
            }
            hash = std::move(moved);
            EXPECT_EQ(hash.finish(), c.digest) << c.message.size() << " bytes in pieces of " << piece;
            EXPECT_EQ(hash.finish(), "");  // a finished digest is not given twice
        }
    }
}

}  // namespace
}  // namespace catadump::platform
