// The end of a run on a fatal condition. Kept in a file of its own so that a build which must survive
// these conditions (the fuzzer) can link its own version in place of this one.
#include <cstdio>
#include <cstdlib>

#include "stream/console.h"
#include "stream/csv_writer.h"

namespace catadump {

void fatal(const char* line) {
    abandonOpenCsvWriter();
    clearStatus();
    std::fputs(line, stdout);
    std::fflush(stdout);
    std::exit(1);
}

} // namespace catadump
