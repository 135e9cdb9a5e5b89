// Composes database bytes field by field: little-endian integers, compact counts, counted strings, blob
// lists and the signature and version that open a database. The result can be wrapped in a bzip2 stream
// and damaged on purpose (cut short, a byte flipped) for the failure cases.
//
//     DbBuilder b;
//     b.header("QRTb", versionWord(1, 7, 20)).u32(0x6).compact(300).str("abc");
//     std::string plain = b.bytes();
//     std::string packed = bzip2(plain);
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace catadump::test {

// The version word as the database stores it: major in bits 31-24, minor in 23-16, build in 15-0.
constexpr uint32_t versionWord(uint32_t major, uint32_t minor, uint32_t build) {
    return major << 24 | minor << 16 | build;
}

// One item of a blob list: a byte, then a compact count and that many bytes.
struct BlobItem {
    uint8_t tag = 0;
    std::string bytes;
    bool longLength = false;  // write the length in the 255 + u32 form even when it is short
};

class DbBuilder {
  public:
    DbBuilder& u8(uint8_t value);
    DbBuilder& u32(uint32_t value);
    DbBuilder& u64(uint64_t value);
    // A compact count: one byte below 255, otherwise 255 and a u32.
    DbBuilder& compact(uint32_t value);
    // A compact count in the long form whatever its value.
    DbBuilder& compactLong(uint32_t value);
    // A counted string: the length as a compact count, then the bytes.
    DbBuilder& str(std::string_view text);
    DbBuilder& strLong(std::string_view text);
    DbBuilder& raw(std::string_view bytes);
    DbBuilder& repeat(size_t count, uint8_t byte);
    DbBuilder& blobList(const std::vector<BlobItem>& items);
    // The four signature bytes in file order ("QRTb", "QWTB", "BZh9"), then the version word.
    DbBuilder& header(std::string_view fourBytes, uint32_t version);

    const std::string& bytes() const { return bytes_; }
    size_t size() const { return bytes_.size(); }

  private:
    std::string bytes_;
};

// The data as one bzip2 stream with the given block size (1 to 9); the stream begins "BZh" and the digit.
std::string bzip2(std::string_view data, int blockSize = 9);

// A 1.7.20 database of the generator's synthetic tree with this many folders and files (its other settings
// as the generator has them).
std::string syntheticDatabase(uint32_t folders, uint32_t files);

// The data as two bzip2 streams, split in its middle, which must read as the one stream of it.
std::string inTwoStreams(std::string_view data);

// The first `keep` bytes of the data.
std::string cut(std::string_view data, size_t keep);

// The data with the byte at `offset` xor'ed with `mask`.
std::string flipByte(std::string_view data, size_t offset, uint8_t mask = 0xFF);

// Bytes that do not repeat, so that bzip2 cannot shrink them much: a compressed form of n of them is
// close to n bytes long, which makes cuts at a fraction of the compressed size land inside the data.
std::string noisyBytes(size_t n, uint32_t seed = 1);

}  // namespace catadump::test
