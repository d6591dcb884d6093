#include "platform/backends/pulse/pulse_backend.h"

#include <string>
#include <utility>

#include "platform/backends/audio/recorder_capture.h"
#include "platform/backends/pulse/pulse_api.h"
#include "platform/backends/pulse/pulse_client.h"
#include "platform/backends/pulse/pulse_recorder.h"
#include "platform/runtime/runtime.h"

namespace platform {
namespace {

ContentResult read_content() {
    auto client = pulse::PulseClient::connect();
    if (!client) return std::unexpected(std::move(client.error()));
    auto sinks = (*client)->list_sinks();
    if (!sinks) return std::unexpected(std::move(sinks.error()));

    ContentDescription content;
    for (auto& sink : *sinks) {
        DisplayDescription display;
        // Sink indices start at 0, and a display id of 0 means "no display".
        display.display_id = sink.index + 1;
        display.source = std::move(sink.monitor_source_name);
        content.displays.push_back(std::move(display));
    }
    return content;
}

std::expected<std::unique_ptr<pulse::PulseRecorder>, BackendError> start_recorder(
    const CaptureParams& params, const std::shared_ptr<CaptureSink>& sink) {
    if (auto loaded = pulse::load(); !loaded) return std::unexpected(std::move(loaded.error()));
    if (auto checked = check_format(params, PA_RATE_MAX, PA_CHANNELS_MAX,
                                    pulse::library_error(PA_ERR_INVALID));
        !checked) {
        return std::unexpected(std::move(checked.error()));
    }
    pulse::RecordFormat format;
    format.rate = static_cast<std::uint32_t>(params.sample_rate);
    format.channels = static_cast<std::uint32_t>(params.channel_count);
    return pulse::PulseRecorder::start(params.source, format, sink);
}

class PulseBackend final : public Backend {
public:
    void get_content(Reply<ContentResult> reply) override {
        // Talking to the server may take up to its bounded wait: not on the caller's thread.
        post([reply = std::move(reply)] { reply(read_content()); });
    }

    std::unique_ptr<Capture> start_capture(const CaptureParams& params,
                                           std::shared_ptr<CaptureSink> sink,
                                           Reply<Outcome> started) override {
        // The monitor carries every client's audio, this process's included; the helper
        // plays none, so excludes_current_process_audio changes nothing it records.
        return audio::RecorderCapture<pulse::PulseRecorder>::launch(
            [params, sink = std::move(sink)] { return start_recorder(params, sink); },
            std::move(started));
    }
};

}  // namespace

std::shared_ptr<Backend> make_pulse_backend() { return std::make_shared<PulseBackend>(); }

}  // namespace platform
