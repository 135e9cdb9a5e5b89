// A fatal condition met during a fuzzed conversion. The fuzzer's own fatal() throws it instead of ending
// the process, so one input that ends the run ("Out of Memory", "bad string size -1", ...) does not end
// the fuzzing; the entry point catches it and records which line it was.
#pragma once

namespace catadump {

struct FatalCondition {
    const char* line;
};

} // namespace catadump
