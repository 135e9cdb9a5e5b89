#include "catagen/sink.h"

namespace catagen {

ByteSink makeSink(Drain drain, size_t bufferSize) {
    ByteSink sink;
    sink.buffer.resize(bufferSize < 64 ? 64 : bufferSize);
    sink.drain = std::move(drain);
    return sink;
}

void flush(ByteSink& sink) {
    if (sink.used == 0) return;
    sink.drain(std::string_view(sink.buffer.data(), sink.used));
    sink.drained += sink.used;
    sink.used = 0;
}

Drain stringDrain(std::string& out) {
    return [&out](std::string_view bytes) { out.append(bytes); };
}

bool openOutputFile(OutputFile& out, const std::string& path) {
    out.file = std::fopen(path.c_str(), "wb");
    out.failed = false;
    return out.file != nullptr;
}

Drain fileDrain(OutputFile& out) {
    return [&out](std::string_view bytes) {
        if (out.failed) return;
        if (std::fwrite(bytes.data(), 1, bytes.size(), out.file) != bytes.size()) out.failed = true;
    };
}

bool closeOutputFile(OutputFile& out) {
    if (out.file == nullptr) return false;
    bool ok = !out.failed;
    if (std::fclose(out.file) != 0) ok = false;
    out.file = nullptr;
    return ok;
}

}  // namespace catagen
