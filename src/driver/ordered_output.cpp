#include "driver/ordered_output.h"

#include <algorithm>
#include <vector>

namespace catadump {

namespace {

bool writeToList(OrderedOutput& output, const void* bytes, size_t n) {
    if (output.failed.load(std::memory_order_relaxed)) return false;
    if (n == 0) return true;
    // Unordered, the parts write at once: one write at a time still, as the sink keeps its counts.
    std::unique_lock<std::mutex> guard(output.writing, std::defer_lock);
    if (output.unordered) guard.lock();
    if (!output.list.write(output.list.context, bytes, n)) {
        output.failed.store(true, std::memory_order_relaxed);
        return false;
    }
    return true;
}

// Moves the bytes held in memory to the end of the scratch file; the memory is kept for more bytes of a
// running input, or given back.
void moveHeldToScratch(OrderedPart& part, bool giveMemoryBack) {
    if (!part.scratch.isOpen() && !platform::createScratchFile(part.scratch)) part.scratchFailed = true;
    if (!part.scratchFailed && !platform::writeFile(part.scratch, part.held.data(), part.held.size())) {
        part.scratchFailed = true;
    }
    part.held.clear();
    if (giveMemoryBack) part.held.shrink_to_fit();
}

// Keeps bytes of a part that is not the head: in memory, and once that holds its limit, in the scratch file.
bool hold(OrderedPart& part, const void* bytes, size_t n) {
    if (part.held.size() + n > part.output->heldInMemory && !part.scratchFailed) {
        moveHeldToScratch(part, false);
        if (!part.scratchFailed && n > part.output->heldInMemory) {
            if (!platform::writeFile(part.scratch, bytes, n)) part.scratchFailed = true;
            return !part.scratchFailed;
        }
    }
    if (part.scratchFailed) return false;
    part.held.append(static_cast<const char*>(bytes), n);
    return true;
}

// Writes what the part held to the list: the scratch file's bytes, then those in memory.
bool handOver(OrderedPart& part) {
    OrderedOutput& output = *part.output;
    bool done = !part.scratchFailed;
    if (done && part.scratch.isOpen()) {
        done = platform::rewindFile(part.scratch);
        std::vector<char> buffer(1u << 20);
        int64_t got = 0;
        while (done && (got = platform::readFile(part.scratch, buffer.data(), buffer.size())) > 0) {
            done = writeToList(output, buffer.data(), static_cast<size_t>(got));
        }
        done = done && got == 0;
    }
    if (part.scratch.isOpen()) platform::closeFile(part.scratch);
    done = done && writeToList(output, part.held.data(), part.held.size());
    std::string().swap(part.held);
    part.direct = true;
    return done;
}

bool partClosed(void* context);

bool writePart(void* context, const void* bytes, size_t n) {
    auto& part = *static_cast<OrderedPart*>(context);
    // Once the list is gone (its pipe closed) nothing more is held for it: every input ends at its next
    // write.
    if (partClosed(context)) return false;
    if (!part.direct && part.output->head.load(std::memory_order_acquire) == part.index) {
        // Every input before this one has finished, and nobody else writes to the list until this one does.
        if (!handOver(part)) return false;
    }
    if (part.direct) return writeToList(*part.output, bytes, n);
    return hold(part, bytes, n);
}

bool partClosed(void* context) {
    auto& part = *static_cast<OrderedPart*>(context);
    const ByteSink& list = part.output->list;
    return list.closed != nullptr && list.closed(list.context);
}

}  // namespace

void startOrderedOutput(OrderedOutput& output, ByteSink list, size_t inputs, bool unordered) {
    output.list = list;
    output.unordered = unordered;
    output.parts.clear();
    for (size_t index = 0; index < inputs; ++index) {
        auto part = std::make_unique<OrderedPart>();
        part->output = &output;
        part->index = index;
        part->direct = unordered;
        output.parts.push_back(std::move(part));
    }
    output.head.store(0, std::memory_order_release);
}

ByteSink orderedPartSink(OrderedOutput& output, size_t index) {
    ByteSink sink;
    sink.context = output.parts[index].get();
    sink.write = writePart;
    sink.closed = partClosed;
    return sink;
}

bool finishOrderedPart(OrderedOutput& output, size_t index) {
    std::lock_guard<std::mutex> guard(output.lock);
    OrderedPart& part = *output.parts[index];
    part.finished = true;
    size_t head = output.head.load(std::memory_order_acquire);
    if (head != index) {
        // An earlier input hands this one's bytes over when it finishes; meanwhile they wait in the
        // scratch file, and the memory goes to the input converted next.
        if (part.held.size() > output.heldWhileWaiting) moveHeldToScratch(part, true);
        return !part.scratchFailed;
    }
    bool done = part.direct || handOver(part);
    // The inputs after it that have finished meanwhile held all their bytes: they follow now.
    for (++head; head < output.parts.size() && output.parts[head]->finished; ++head) {
        done = handOver(*output.parts[head]) && done;
    }
    output.head.store(head, std::memory_order_release);
    return done;
}

}  // namespace catadump
