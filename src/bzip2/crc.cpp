// The bzip2 CRC-32, eight bytes at a time with eight tables made at compile time: it runs over every byte
// a worker decodes, so it is kept fast.
#include "bzip2/crc.h"

#include "bzip2/bits.h"

namespace catadump {

namespace {

struct CrcTables {
    uint32_t t[8][256];
};

constexpr CrcTables makeCrcTables() {
    CrcTables tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04c11db7u : c << 1;
        tables.t[0][i] = c;
    }
    for (int k = 1; k < 8; ++k) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t prev = tables.t[k - 1][i];
            tables.t[k][i] = (prev << 8) ^ tables.t[0][prev >> 24];
        }
    }
    return tables;
}
constexpr CrcTables crcTables = makeCrcTables();

}  // namespace

uint32_t updateBzip2Crc(uint32_t crc, const uint8_t* bytes, size_t size) {
    const auto& t = crcTables.t;
    while (size >= 8) {
        uint32_t a = crc ^ loadBig32(bytes);
        uint32_t b = loadBig32(bytes + 4);
        crc = t[7][a >> 24] ^ t[6][(a >> 16) & 0xFF] ^ t[5][(a >> 8) & 0xFF] ^ t[4][a & 0xFF] ^
              t[3][b >> 24] ^ t[2][(b >> 16) & 0xFF] ^ t[1][(b >> 8) & 0xFF] ^ t[0][b & 0xFF];
        bytes += 8;
        size -= 8;
    }
    while (size-- > 0) crc = (crc << 8) ^ t[0][(crc >> 24) ^ *bytes++];
    return crc;
}

uint32_t bzip2CrcPreimage(uint32_t state, uint32_t wantedCrc) {
    // Run the register back over 32 steps from the state that gives the wanted check; each step forwards
    // shifts left and, when the bit shifted out was set, adds the polynomial, whose lowest bit is set.
    uint32_t c = ~wantedCrc;
    for (int i = 0; i < 32; ++i) c = (c & 1) != 0 ? ((c ^ 0x04c11db7u) >> 1) | 0x80000000u : c >> 1;
    return c ^ state;
}

}  // namespace catadump
