#include "platform/pipewire/pipewire_backend.h"

#include <sys/stat.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

#include "platform/pipewire/pipewire_client.h"
#include "platform/pipewire/pipewire_recorder.h"
#include "platform/runtime.h"

namespace platform {

using namespace std::chrono_literals;
namespace {

using pipewire::PipewireClient;
using pipewire::PipewireRecorder;

ContentResult read_content() {
    auto client = PipewireClient::connect();
    if (!client) return std::unexpected(std::move(client.error()));
    pipewire::pw_thread_loop_lock((*client)->loop());
    const auto sinks = (*client)->sinks();
    pipewire::pw_thread_loop_unlock((*client)->loop());

    ContentDescription content;
    for (const auto& sink : sinks) {
        DisplayDescription display;
        // Object ids start at 0, and a display id of 0 means "no display".
        display.display_id = sink.id + 1;
        display.source = sink.name + ".monitor";
        display.name = sink.description;
        content.displays.push_back(std::move(display));
    }
    return content;
}

// What a capture and its start job share. The start runs on a platform worker because it
// talks to the server; the capture's owner may stop or drop it meanwhile.
struct CaptureState {
    std::mutex mutex;
    std::condition_variable settled;
    bool starting = true;
    bool ended = false;
    std::unique_ptr<PipewireRecorder> recorder;

    std::unique_ptr<PipewireRecorder> end() {
        std::unique_lock lock(mutex);
        ended = true;
        settled.wait(lock, [this] { return !starting; });
        return std::move(recorder);
    }

    // Hands back what the capture, already ended, did not keep.
    std::unique_ptr<PipewireRecorder> settle(std::unique_ptr<PipewireRecorder> started) {
        std::lock_guard lock(mutex);
        starting = false;
        if (!ended) recorder = std::move(started);
        settled.notify_all();
        return started;
    }
};

class PipewireCapture final : public Capture {
public:
    explicit PipewireCapture(std::shared_ptr<CaptureState> state) : state_(std::move(state)) {}
    ~PipewireCapture() override {
        if (auto recorder = state_->end()) recorder->stop();
    }
    void stop(Reply<Outcome> stopped) override {
        // Stopping joins the recorder's loop thread: no fragment reaches the sink afterwards.
        if (auto recorder = state_->end()) recorder->stop();
        stopped({});
    }

private:
    std::shared_ptr<CaptureState> state_;
};

void run_start(CaptureState& state, const CaptureParams& params,
               const std::shared_ptr<CaptureSink>& sink, const Reply<Outcome>& started) {
    if (params.sample_rate <= 0 || params.sample_rate > 384000 || params.channel_count <= 0 ||
        params.channel_count > SPA_AUDIO_MAX_CHANNELS) {
        state.settle(nullptr);
        started(std::unexpected(std::string(pipewire::INVALID_ARGUMENT) + ": " +
                                std::to_string(params.sample_rate) + " Hz, " +
                                std::to_string(params.channel_count) + " channels"));
        return;
    }
    const auto channels = static_cast<std::uint32_t>(params.channel_count);
    const std::int64_t rate = params.sample_rate;
    auto recorder = PipewireRecorder::start(
        params.source, static_cast<std::uint32_t>(rate), channels,
        [sink, channels, rate](std::span<const float> interleaved, std::uint64_t) {
            sink->audio(interleaved, channels, rate);
        },
        [sink](std::string text) { sink->failed(std::move(text)); },
        [sink, channels, rate](std::size_t samples) {
            return sink->audio_room(samples, channels, rate);
        });
    if (!recorder) {
        state.settle(nullptr);
        started(std::unexpected(std::move(recorder.error())));
        return;
    }
    if (auto unwanted = state.settle(std::move(*recorder))) {
        unwanted->stop();
        started(std::unexpected(std::string("The capture ended before it started")));
        return;
    }
    started({});
}

class PipewireBackend final : public Backend {
public:
    void get_content(Reply<ContentResult> reply) override {
        post([reply = std::move(reply)] { reply(read_content()); });
    }

    std::unique_ptr<Capture> start_capture(const CaptureParams& params,
                                           std::shared_ptr<CaptureSink> sink,
                                           Reply<Outcome> started) override {
        // The monitor carries every client's audio; the helper plays none.
        auto state = std::make_shared<CaptureState>();
        post([state, params, sink = std::move(sink), started = std::move(started)] {
            run_start(*state, params, sink, started);
        });
        return std::make_unique<PipewireCapture>(std::move(state));
    }
};

}  // namespace

std::shared_ptr<Backend> make_pipewire_backend() { return std::make_shared<PipewireBackend>(); }

namespace {

// Where libpipewire would look for the daemon's socket, without loading it: a machine with no
// such socket is answered here, and the library (with its plugins, most of a megabyte) is never
// loaded. A remote named in the environment is left to the library.
bool pipewire_socket_may_exist() {
    if (const char* remote = std::getenv("PIPEWIRE_REMOTE"); remote != nullptr && *remote != 0) {
        return true;
    }
    for (const char* variable : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR", "USERPROFILE"}) {
        const char* dir = std::getenv(variable);
        if (dir == nullptr || *dir == 0) continue;
        struct stat info {};
        const std::string socket = std::string(dir) + "/pipewire-0";
        return ::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
    }
    return false;
}

}  // namespace

bool pipewire_manages_audio() {
    if (!pipewire_socket_may_exist()) return false;
    // A short bound: a machine without a PipeWire daemon is the common answer.
    auto client = PipewireClient::connect(500ms);
    if (!client) return false;
    pipewire::pw_thread_loop_lock((*client)->loop());
    const bool sinks = (*client)->has_sinks();
    pipewire::pw_thread_loop_unlock((*client)->loop());
    return sinks;
}

}  // namespace platform
