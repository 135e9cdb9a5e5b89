// The fuzzer's version of the run's end on a fatal condition, linked in place of the program's own: it
// unwinds to the entry point instead of ending the process. Unwinding also stops the decoder's threads and
// releases what the conversion held, so the next input starts from nothing.
#include "fatal_condition.h"
#include "stream/console.h"

namespace catadump {

void fatal(const char* line) {
    clearStatus();
    throw FatalCondition{line};
}

} // namespace catadump
