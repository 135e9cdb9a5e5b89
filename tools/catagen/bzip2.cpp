#include "catagen/bzip2.h"

#include <algorithm>
#include <stdexcept>

namespace catagen {

namespace {

constexpr size_t kChunk = size_t{1} << 20;

void drainOutput(Bzip2Compressor& c) {
    size_t produced = c.outBuffer.size() - c.stream.avail_out;
    if (produced > 0) c.out(std::string_view(c.outBuffer.data(), produced));
    c.stream.next_out = c.outBuffer.data();
    c.stream.avail_out = static_cast<unsigned>(c.outBuffer.size());
}

}  // namespace

Bzip2Compressor::~Bzip2Compressor() {
    if (started) BZ2_bzCompressEnd(&stream);
}

std::unique_ptr<Bzip2Compressor> startBzip2(int blockSize, Drain out) {
    auto c = std::make_unique<Bzip2Compressor>();
    c->out = std::move(out);
    c->outBuffer.resize(kChunk);
    // Work factor 30 is the library's default; verbosity 0 keeps it quiet.
    if (BZ2_bzCompressInit(&c->stream, std::clamp(blockSize, 1, 9), 0, 30) != BZ_OK) {
        c->failed = true;
        return c;
    }
    c->started = true;
    c->stream.next_out = c->outBuffer.data();
    c->stream.avail_out = static_cast<unsigned>(c->outBuffer.size());
    return c;
}

void feedBzip2(Bzip2Compressor& c, std::string_view bytes) {
    if (!c.started || c.failed) return;
    while (!bytes.empty()) {
        // avail_in is an unsigned int: feed at most a chunk at a time.
        size_t take = std::min(bytes.size(), kChunk);
        c.stream.next_in = const_cast<char*>(bytes.data());
        c.stream.avail_in = static_cast<unsigned>(take);
        while (c.stream.avail_in > 0) {
            if (BZ2_bzCompress(&c.stream, BZ_RUN) != BZ_RUN_OK) {
                c.failed = true;
                return;
            }
            if (c.stream.avail_out == 0) drainOutput(c);
        }
        bytes.remove_prefix(take);
    }
}

bool finishBzip2(Bzip2Compressor& c) {
    if (!c.started || c.failed) return false;
    c.stream.next_in = nullptr;
    c.stream.avail_in = 0;
    for (;;) {
        int result = BZ2_bzCompress(&c.stream, BZ_FINISH);
        if (result == BZ_STREAM_END) break;
        if (result != BZ_FINISH_OK) {
            c.failed = true;
            return false;
        }
        drainOutput(c);
    }
    drainOutput(c);
    BZ2_bzCompressEnd(&c.stream);
    c.started = false;
    return true;
}

Drain bzip2Drain(Bzip2Compressor& compressor) {
    return [&compressor](std::string_view bytes) { feedBzip2(compressor, bytes); };
}

std::string bzip2Wrap(std::string_view raw, int blockSize) {
    std::string out;
    auto c = startBzip2(blockSize, stringDrain(out));
    feedBzip2(*c, raw);
    if (!finishBzip2(*c)) throw std::runtime_error("bzip2 compression failed");
    return out;
}

}  // namespace catagen
