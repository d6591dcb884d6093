#include "platform/pipewire/pipewire_backend.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "platform/audio/recorder_capture.h"
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

std::expected<std::unique_ptr<PipewireRecorder>, std::string> start_recorder(
    const CaptureParams& params, const std::shared_ptr<CaptureSink>& sink) {
    if (params.sample_rate <= 0 || params.sample_rate > 384000 || params.channel_count <= 0 ||
        params.channel_count > SPA_AUDIO_MAX_CHANNELS) {
        return std::unexpected(std::string(pipewire::INVALID_ARGUMENT) + ": " +
                               std::to_string(params.sample_rate) + " Hz, " +
                               std::to_string(params.channel_count) + " channels");
    }
    const auto channels = static_cast<std::uint32_t>(params.channel_count);
    const std::int64_t rate = params.sample_rate;
    return PipewireRecorder::start(
        params.source, static_cast<std::uint32_t>(rate), channels,
        [sink, channels, rate](std::span<const float> interleaved, std::uint64_t) {
            sink->audio(interleaved, channels, rate);
        },
        [sink](std::string text) { sink->failed(std::move(text)); },
        [sink, channels, rate](std::size_t samples) {
            return sink->audio_room(samples, channels, rate);
        });
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
        return audio::RecorderCapture<PipewireRecorder>::launch(
            [params, sink = std::move(sink)] { return start_recorder(params, sink); },
            std::move(started));
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
