// Where the output goes: the output file (standard output among them), or memory in tests. A small table
// of functions, as the byte source is, so that the writer neither knows nor cares which.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace catadump {

// Where the output goes: the output file, or memory in tests.
struct ByteSink {
    void* context = nullptr;
    // Writes all n bytes; false when the write failed or came up short.
    bool (*write)(void* context, const void* bytes, size_t n) = nullptr;
    // Readies the output before its first byte, on the thread that writes; false when that failed. Null
    // when there is nothing to do.
    bool (*prepare)(void* context) = nullptr;
    // Whether a write found the output closed for good (a pipe whose reader has gone). Null: never.
    bool (*closed)(void* context) = nullptr;
};

// The output file as a sink; it is emptied before the first byte is written (see
// createForWritingEmptiedLater). When that removed bytes, the system writes the file out when it is
// closed, which would keep the close waiting for the whole output; its bytes are therefore handed to the
// disk as they are written, on the thread that writes them.
struct FileOutput {
    platform::File* file = nullptr;
    bool emptyFirst = true;           // a file of ours; standard output is written as it is
    std::atomic<bool> closed{false};  // a write found the reading end of the pipe gone
    bool writeOutAsWritten = false;   // emptying it removed bytes
    uint64_t written = 0;             // bytes written to it
    uint64_t writtenOut = 0;          // of those, the bytes handed to the disk
};
ByteSink fileSink(FileOutput& output);

// A sink that takes every byte and keeps none, for a format that hands its records elsewhere (a file of
// its own, the library's queue).
ByteSink discardingSink();

}  // namespace catadump
