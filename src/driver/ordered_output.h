// One list written by many conversions at once, in the order of their inputs: the rows of one input stay
// together, and the list has the same bytes whatever the number of conversions running.
//
// Each input writes through a part. The part of the earliest unfinished input (the head) writes straight
// to the list; the others hold their bytes, in memory up to a limit and then in a scratch file, until
// every input before theirs has finished. So the list is written as fast as the head converts, and the
// memory a part holds is bounded whatever the size of its input.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "io/byte_sink.h"
#include "platform/platform.h"

namespace catadump {

struct OrderedOutput;

struct OrderedPart {
    OrderedOutput* output = nullptr;
    size_t index = 0;
    bool direct = false;    // its input is the head and its held bytes are in the list: it writes there
    bool finished = false;  // its input has written everything (under the output's lock)
    std::string held;       // bytes held in memory, after those in the scratch file
    platform::File scratch;
    bool scratchFailed = false;  // a held byte was lost: handing over fails
};

struct OrderedOutput {
    ByteSink list;
    // The bytes a part holds in memory while its input is converted, before it moves them to its scratch
    // file; a part whose input has finished keeps no more than a little in memory while it waits its turn,
    // so that the memory held stays within this much for each input converted at once.
    size_t heldInMemory = 4u << 20;
    size_t heldWhileWaiting = 1u << 20;
    bool unordered = false;  // the list is the null device: every part writes to it at once
    std::vector<std::unique_ptr<OrderedPart>> parts;
    std::mutex lock;
    std::mutex writing;  // unordered: one write to the list at a time
    std::atomic<size_t> head{0};
    std::atomic<bool> failed{false};  // a write to the list failed: every later write fails too
};

// Makes one part per input, all holding until their turn (unless the list keeps no order).
void startOrderedOutput(OrderedOutput& output, ByteSink list, size_t inputs, bool unordered = false);

// The sink of input `index`: what it writes reaches the list in input order.
ByteSink orderedPartSink(OrderedOutput& output, size_t index);

// The input has written everything. When it is the head, its held bytes and those of the finished inputs
// after it go to the list, and the first unfinished input becomes the head. False when a write to the list
// or a held byte failed on the way.
bool finishOrderedPart(OrderedOutput& output, size_t index);

}  // namespace catadump
