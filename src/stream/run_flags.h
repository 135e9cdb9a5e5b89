// The three process-wide flags that connect the layers of a conversion. Each starts clear and is never
// cleared during a run; the driver reports them at the end. Tests reset them between cases.
#pragma once

namespace catadump {

struct RunFlags {
    bool readError = false;   // a read failed or came up short; zeroes were delivered instead
    bool writeError = false;  // a write to the output failed or came up short
    bool corrupt = false;     // a reader met a structural error and stopped
};

RunFlags& runFlags();
void resetRunFlags();

} // namespace catadump
