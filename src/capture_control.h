#pragma once

#include <memory>

#include "src/writer_slot.h"

namespace helper {

// The capture side of a run, at its four points in the run sequence: prepare before the
// writer exists, start once it does, stop after the poll loop, release after the status
// line. Set-up failures end the process through unavailable().
//
// Not wired to the capture binding yet: every point does nothing, so a run records an
// empty stream until it is stopped.
class CaptureControl {
public:
    // Content, display list, content filter and stream configuration.
    void prepare();

    // Stream, output handler (which keeps `slot` as its writer reference) and start.
    void start(std::shared_ptr<WriterSlot> slot);

    // Stops capture; the outcome does not matter to the run.
    void stop();

    // Releases in this order: the stream, then `run_reference` (the run function's own slot
    // reference), then the configuration, the filter, the displays and the content.
    void release(std::shared_ptr<WriterSlot> run_reference);
};

}  // namespace helper
