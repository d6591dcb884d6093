#include "platform/pulse/pulse_backend.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>

#include "platform/pulse/pulse_api.h"
#include "platform/pulse/pulse_client.h"
#include "platform/pulse/pulse_recorder.h"
#include "platform/runtime.h"

namespace platform {
namespace {

ContentResult read_content() {
    auto client = pulse::PulseClient::connect(pulse::CLIENT_NAME);
    if (!client) return std::unexpected(std::move(client.error()));
    auto sinks = (*client)->list_sinks();
    if (!sinks) return std::unexpected(std::move(sinks.error()));

    ContentDescription content;
    for (auto& sink : *sinks) {
        DisplayDescription display;
        // Sink indices start at 0, and a display id of 0 means "no display".
        display.display_id = sink.index + 1;
        display.source = std::move(sink.monitor_source_name);
        display.name = sink.description.empty() ? sink.name : std::move(sink.description);
        content.displays.push_back(std::move(display));
    }
    return content;
}

std::expected<pulse::RecordFormat, std::string> record_format(const CaptureParams& params) {
    if (params.sample_rate <= 0 || params.sample_rate > PA_RATE_MAX || params.channel_count <= 0 ||
        params.channel_count > PA_CHANNELS_MAX) {
        return std::unexpected(pulse::error_text(PA_ERR_INVALID) + ": " +
                               std::to_string(params.sample_rate) + " Hz, " +
                               std::to_string(params.channel_count) + " channels");
    }
    pulse::RecordFormat format;
    format.rate = static_cast<std::uint32_t>(params.sample_rate);
    format.channels = static_cast<std::uint32_t>(params.channel_count);
    return format;
}

// What a capture and its start job share. The start runs on a platform worker because
// it talks to the server; the capture's owner may stop or drop it meanwhile.
struct CaptureState {
    std::mutex mutex;
    std::condition_variable settled;
    bool starting = true;
    bool ended = false;
    std::unique_ptr<pulse::PulseRecorder> recorder;

    // Marks the capture ended and takes the recorder out once the start has settled.
    std::unique_ptr<pulse::PulseRecorder> end() {
        std::unique_lock lock(mutex);
        ended = true;
        settled.wait(lock, [this] { return !starting; });
        return std::move(recorder);
    }
};

class PulseCapture final : public Capture {
public:
    explicit PulseCapture(std::shared_ptr<CaptureState> state) : state_(std::move(state)) {}

    ~PulseCapture() override {
        if (auto recorder = state_->end()) recorder->stop();
    }

    void stop(Reply<Outcome> stopped) override {
        // Stopping joins the recorder's loop thread, so when the answer goes out no
        // fragment can reach the sink any more.
        if (auto recorder = state_->end()) recorder->stop();
        stopped({});
    }

private:
    std::shared_ptr<CaptureState> state_;
};

void run_start(const std::shared_ptr<CaptureState>& state, const CaptureParams& params,
               const std::shared_ptr<CaptureSink>& sink, const Reply<Outcome>& started) {
    auto settle = [&](std::unique_ptr<pulse::PulseRecorder> recorder) {
        std::lock_guard lock(state->mutex);
        state->starting = false;
        const bool keep = !state->ended;
        if (keep) state->recorder = std::move(recorder);
        state->settled.notify_all();
        return recorder;  // what the capture did not keep
    };

    if (auto loaded = pulse::load(); !loaded) {
        settle(nullptr);
        started(std::unexpected(std::move(loaded.error())));
        return;
    }
    auto format = record_format(params);
    if (!format) {
        settle(nullptr);
        started(std::unexpected(std::move(format.error())));
        return;
    }
    const std::uint32_t channels = format->channels;
    const std::int64_t rate = params.sample_rate;
    auto recorder = pulse::PulseRecorder::start(
        params.source, *format,
        [sink, channels, rate](std::span<const float> interleaved, std::uint64_t) {
            sink->audio(interleaved, channels, rate);
        },
        [sink](std::string text) { sink->failed(std::move(text)); });
    if (!recorder) {
        settle(nullptr);
        started(std::unexpected(std::move(recorder.error())));
        return;
    }
    if (auto unwanted = settle(std::move(*recorder))) {
        unwanted->stop();
        started(std::unexpected(std::string("The capture ended before it started")));
        return;
    }
    started({});
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
        auto state = std::make_shared<CaptureState>();
        post([state, params, sink = std::move(sink), started = std::move(started)] {
            run_start(state, params, sink, started);
        });
        return std::make_unique<PulseCapture>(std::move(state));
    }
};

}  // namespace

std::shared_ptr<Backend> make_pulse_backend() { return std::make_shared<PulseBackend>(); }

void install_pulse_backend() { install_backend(make_pulse_backend()); }

}  // namespace platform
