// Where the database bytes come from: an open file (a pipe, a terminal or a device as well), or a block of
// memory (tests and the fuzzer). A small table of functions, so the stream neither knows nor cares which.
// Sources are read forward only: nothing ever goes back to bytes it has passed, so that every source reads
// as a file does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace catadump {

struct ByteSource {
    void* context = nullptr;
    // Up to n bytes into destination: the count, 0 at the end, -1 on failure.
    int64_t (*read)(void* context, void* destination, size_t n) = nullptr;
    // The error code of the last failure, for the console message of a failed read.
    int (*lastError)(void* context) = nullptr;
};

ByteSource fileSource(platform::File& file);

// An open file whose reads a wakeup can end from another thread (a library reader being closed while its
// source has nothing to give): such a read fails, with the code platform::wasWokenUp recognises.
struct WatchedFile {
    platform::File file;
    const platform::Wakeup* wakeup = nullptr;
};
ByteSource watchedFileSource(WatchedFile& input);

// A database held in memory. The block must outlive the source.
struct MemoryInput {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t position = 0;
};
ByteSource memorySource(MemoryInput& input);

// Bytes already taken from a source, followed by the rest of it: a few pieces of memory, read in turn, then
// the source itself. The pieces must outlive it.
struct ChainedInput {
    struct Piece {
        const uint8_t* data = nullptr;
        size_t size = 0;
    };
    Piece pieces[3];
    size_t pieceCount = 0;
    size_t current = 0;   // the piece being read
    size_t position = 0;  // within it
    ByteSource rest;
    uint64_t restBytes = 0;  // bytes taken from `rest` so far
};
void addPiece(ChainedInput& input, const uint8_t* data, size_t size);
ByteSource chainedSource(ChainedInput& input);

// Hashing on a thread of its own: the bytes read are copied into pieces that it hashes in turn.
struct HashingThread;
void stopHashingThread(HashingThread* thread);

// Every byte a source gives, counted and hashed on its way through.
struct HashingInput {
    ByteSource inner;
    platform::Sha256 hash;
    uint64_t bytes = 0;
    bool failed = false;  // the inner source reported a failure
    bool ended = false;   // the inner source gave its end (0); readRestForHash asks it no more
    std::unique_ptr<HashingThread, void (*)(HashingThread*)> thread{nullptr, stopHashingThread};
};
// Hashes on a thread of its own from now on, so that the hash costs the reading thread only a copy of
// the bytes; false, and the reading thread goes on hashing, when no thread could be started.
bool hashOnItsOwnThread(HashingInput& input);
ByteSource hashingSource(HashingInput& input);
// Reads what is left of the inner source, into the count and the hash, until its end or a failure (a
// conversion that stopped early on damage leaves the rest unread), and ends the hashing thread: the hash
// then holds every byte. False on a failure.
bool readRestForHash(HashingInput& input);

}  // namespace catadump
