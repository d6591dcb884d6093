#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "capture/content_filter.h"
#include "capture/shareable_content.h"
#include "capture/stream.h"
#include "capture/stream_configuration.h"
#include "src/recording_format.h"
#include "src/writer_slot.h"

namespace helper {

// The capture side of a run, at its four points in the run sequence: prepare before the
// writer exists, start once it does, stop after the poll loop, release after the status
// line. It records the system audio of the first display in the format it is given, the
// helper's own audio included. Set-up failures end the process through unavailable(),
// releasing nothing.
class CaptureControl {
public:
    explicit CaptureControl(RecordingFormat format) : format_(format) {}
    CaptureControl(const CaptureControl&) = delete;
    CaptureControl& operator=(const CaptureControl&) = delete;

    // Content, display list, content filter and stream configuration.
    void prepare();

    // Stream, output handler (which keeps `slot` as its writer reference) and start.
    void start(std::shared_ptr<WriterSlot> slot);

    // Stops capture; the outcome does not matter to the run.
    void stop();

    // Releases in this order: the stream, then `run_reference` (the run function's own slot
    // reference), then the configuration, the filter, each display in order, the display
    // list and the content. The handler's slot reference goes with the stream's context,
    // which the platform may hold a little longer.
    void release(std::shared_ptr<WriterSlot> run_reference);

private:
    RecordingFormat format_;
    // In creation order, so that plain destruction also goes stream first.
    std::optional<capture::SCShareableContent> content_;
    std::vector<capture::SCDisplay> displays_;
    std::optional<capture::SCContentFilter> filter_;
    std::optional<capture::SCStreamConfiguration> configuration_;
    std::optional<capture::SCStream> stream_;
};

}  // namespace helper
