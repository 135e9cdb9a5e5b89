// The formats on a thread of their own. While the converting thread reads, decodes and parses the
// database, a second thread formats what it has read, so that the two halves of a conversion run on two
// cores. The reader's entries, and the console lines and progress of the run among them, are copied in
// order into batches that the format thread hands on to the format: the list, the console and the
// progress display see exactly what they would see with everything on one thread, only a little later.
//
// A fatal condition on either thread ends the run as it would on one: met by the reader, the format
// thread first hands on everything the reader had sent before it; met by the format (memory, the output
// closed), nothing after it is handed on, and the reader meets the same condition when it next hands a
// batch over.
#pragma once

#include <cstdint>
#include <memory>

#include "input/database_stream.h"
#include "io/run_context.h"
#include "model/entry.h"
#include "output/csv_writer.h"

namespace catadump {

struct FormatThread;
void stopFormatThread(FormatThread* thread);
using FormatThreadPointer = std::unique_ptr<FormatThread, void (*)(FormatThread*)>;

// Where the format thread reports progress: the bytes of the database read when the stream last refilled.
struct ProgressHook {
    void (*report)(void* context, uint64_t databaseBytes) = nullptr;
    void* context = nullptr;
};

// Starts the thread that hands on to `target` everything the returned sink is given. From now on the
// run's console lines go through it, and the stream's refills hand it what has gathered (and, with a hook,
// queue the progress). Null when no thread could be started: nothing is changed then, and the caller hands
// the entries to the target itself. Freeing it (also while unwinding) waits until the thread has handed
// on what it was given, ends it, and gives the run and the stream back their console and hooks.
FormatThreadPointer startFormatThread(RunContext& run, DatabaseStream& stream, EntrySink& target,
                                      ProgressHook progress);

// The sink that the reader hands its entries to.
EntrySink& formatThreadSink(FormatThread& thread);

// Makes the converting thread the one that writes the writer's chunks (opened pumped): it writes them at
// each batch it hands over and while it waits for the format thread, so that the two threads share the
// reading, the formatting and the writing between them.
void writeOnConvertingThread(FormatThread& thread, CsvWriter& writer);

// Waits until everything given has been handed on and ends the thread, then raises on this thread what
// stopped the format, if anything did (a fatal condition, running out of memory, the output closed).
void finishFormatThread(FormatThread& thread);

}  // namespace catadump
