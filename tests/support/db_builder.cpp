#include "support/db_builder.h"

#include <bzlib.h>
#include <stdexcept>

#include "catagen/encode.h"
#include "catagen/synthetic.h"
#include "support/damage.h"

namespace catadump::test {

DbBuilder& DbBuilder::u8(uint8_t value) {
    bytes_.push_back(static_cast<char>(value));
    return *this;
}

DbBuilder& DbBuilder::u32(uint32_t value) { return raw(u32Bytes(value)); }

DbBuilder& DbBuilder::u64(uint64_t value) {
    return u32(static_cast<uint32_t>(value)).u32(static_cast<uint32_t>(value >> 32));
}

DbBuilder& DbBuilder::compact(uint32_t value) { return raw(countBytes(value)); }

DbBuilder& DbBuilder::compactLong(uint32_t value) { return raw(countBytes(value, true)); }

DbBuilder& DbBuilder::str(std::string_view text) {
    return compact(static_cast<uint32_t>(text.size())).raw(text);
}

DbBuilder& DbBuilder::strLong(std::string_view text) {
    return compactLong(static_cast<uint32_t>(text.size())).raw(text);
}

DbBuilder& DbBuilder::raw(std::string_view bytes) {
    bytes_.append(bytes);
    return *this;
}

DbBuilder& DbBuilder::repeat(size_t count, uint8_t byte) {
    bytes_.append(count, static_cast<char>(byte));
    return *this;
}

DbBuilder& DbBuilder::blobList(const std::vector<BlobItem>& items) {
    compact(static_cast<uint32_t>(items.size()));
    for (const BlobItem& item : items) {
        u8(item.tag);
        auto length = static_cast<uint32_t>(item.bytes.size());
        if (item.longLength) {
            compactLong(length);
        } else {
            compact(length);
        }
        raw(item.bytes);
    }
    return *this;
}

DbBuilder& DbBuilder::header(std::string_view fourBytes, uint32_t version) {
    if (fourBytes.size() != 4) throw std::invalid_argument("a signature has four bytes");
    return raw(fourBytes).u32(version);
}

std::string bzip2(std::string_view data, int blockSize) {
    std::string input(data);
    auto room = static_cast<unsigned>(data.size() + data.size() / 100 + 600);
    std::string output(room, '\0');
    int result = BZ2_bzBuffToBuffCompress(output.data(), &room, input.data(),
                                          static_cast<unsigned>(input.size()), blockSize, 0, 0);
    if (result != BZ_OK) throw std::runtime_error("bzip2 compression failed");
    output.resize(room);
    return output;
}

std::string inTwoStreams(std::string_view data) {
    return bzip2(data.substr(0, data.size() / 2)) + bzip2(data.substr(data.size() / 2));
}

std::string cut(std::string_view data, size_t keep) { return std::string(data.substr(0, keep)); }

std::string flipByte(std::string_view data, size_t offset, uint8_t mask) {
    std::string damaged(data);
    damaged.at(offset) = static_cast<char>(static_cast<uint8_t>(damaged.at(offset)) ^ mask);
    return damaged;
}

std::string noisyBytes(size_t n, uint32_t seed) {
    std::string bytes(n, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string syntheticDatabase(uint32_t folders, uint32_t files) {
    catagen::SyntheticParams params;
    params.folders = folders;
    params.files = files;
    return catagen::encodeDatabase(catagen::makeSyntheticTree(params), catagen::Version::v1_7_20);
}

}  // namespace catadump::test
