#include "stream/run_flags.h"

namespace catadump {

namespace {
RunFlags flags;
}

RunFlags& runFlags() { return flags; }
void resetRunFlags() { flags = RunFlags{}; }

} // namespace catadump
