#include "src/capture_control.h"

#include <utility>

#include "src/audio_output_handler.h"
#include "src/status_line.h"

namespace helper {

void CaptureControl::prepare() {
    auto content = capture::SCShareableContent::get();
    if (!content) unavailable("SCShareableContent::get: " + content.error().to_string());
    content_.emplace(std::move(*content));

    displays_ = content_->displays();
    if (displays_.empty()) unavailable("no displays");

    // Only the first display is ever captured; for audio it stands for the default output.
    auto filter = capture::SCContentFilterBuilder()
                      .with_display(displays_.front())
                      .with_excluding_windows({})
                      .try_build();
    if (!filter) unavailable("content filter: " + filter.error().to_string());
    filter_.emplace(std::move(*filter));

    auto configuration = capture::SCStreamConfiguration().with_captures_audio(true);
    configuration.set_sample_rate(format_.rate);
    configuration.set_channel_count(format_.channels);
    configuration_.emplace(std::move(configuration).with_excludes_current_process_audio(false));
}

void CaptureControl::start(std::shared_ptr<WriterSlot> slot) {
    stream_.emplace(*filter_, *configuration_);
    // A refused registration only means that no audio will arrive; the run still ends
    // with a valid, silent file.
    (void)stream_->add_output_handler_with_queue(AudioOutputHandler(std::move(slot)),
                                                 capture::SCStreamOutputType::Audio, nullptr);
    if (auto started = stream_->start_capture(); !started) {
        unavailable("start_capture: " + started.error().to_string());
    }
}

void CaptureControl::stop() {
    if (stream_) (void)stream_->stop_capture();
}

void CaptureControl::release(std::shared_ptr<WriterSlot> run_reference) {
    stream_.reset();
    run_reference.reset();
    configuration_.reset();
    filter_.reset();
    // One by one, front to back, then the list itself.
    for (capture::SCDisplay& display : displays_) {
        const capture::SCDisplay released = std::move(display);
    }
    displays_.clear();
    displays_.shrink_to_fit();
    content_.reset();
}

}  // namespace helper
