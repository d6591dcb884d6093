#include "platform/backends/pipewire/pipewire_backend.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

#include "platform/backends/audio/recorder_capture.h"
#include "platform/backends/pipewire/pipewire_recorder.h"
#include "platform/runtime/runtime.h"

namespace platform {

using namespace std::chrono_literals;
namespace {

using pipewire::PipewireClient;
using pipewire::PipewireRecorder;

ContentDescription content_of(PipewireClient& client) {
    pipewire::pw_thread_loop_lock(client.loop());
    const auto sinks = client.sinks();
    pipewire::pw_thread_loop_unlock(client.loop());

    ContentDescription content;
    for (const auto& sink : sinks) {
        DisplayDescription display;
        // Object ids start at 0, and a display id of 0 means "no display".
        display.display_id = sink.id + 1;
        display.source = sink.name + ".monitor";
        content.displays.push_back(std::move(display));
    }
    return content;
}

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

class PipewireBackendImpl final : public PipewireBackend,
                                  public std::enable_shared_from_this<PipewireBackendImpl> {
public:
    bool manages_audio() override {
        if (!pipewire_socket_may_exist()) return false;
        // A short bound: a machine without a PipeWire daemon is the common answer.
        auto client = take_client(500ms);
        if (!client) return false;
        pipewire::pw_thread_loop_lock((*client)->loop());
        const bool sinks = !(*client)->sinks().empty();
        pipewire::pw_thread_loop_unlock((*client)->loop());
        if (sinks) keep(std::move(*client));
        return sinks;
    }

    void get_content(Reply<ContentResult> reply) override {
        post([self = shared_from_this(), reply = std::move(reply)] {
            auto client = self->take_client(PipewireClient::CONNECT_LIMIT);
            if (!client) {
                reply(std::unexpected(std::move(client.error())));
                return;
            }
            auto content = content_of(**client);
            self->keep(std::move(*client));
            reply(std::move(content));
        });
    }

    std::unique_ptr<Capture> start_capture(const CaptureParams& params,
                                           std::shared_ptr<CaptureSink> sink,
                                           Reply<Outcome> started) override {
        // The monitor carries every client's audio; the helper plays none.
        return audio::RecorderCapture<PipewireRecorder>::launch(
            [self = shared_from_this(), params,
             sink = std::move(sink)]() -> audio::RecorderCapture<PipewireRecorder>::Started {
                if (auto valid = check_format(params, 384000, SPA_AUDIO_MAX_CHANNELS,
                                              pipewire::library_error(-EINVAL));
                    !valid) {
                    return std::unexpected(std::move(valid.error()));
                }
                auto client = self->take_client(PipewireClient::CONNECT_LIMIT);
                if (!client) return std::unexpected(std::move(client.error()));
                return PipewireRecorder::start(std::move(*client), params.source,
                                               static_cast<std::uint32_t>(params.sample_rate),
                                               static_cast<std::uint32_t>(params.channel_count),
                                               sink);
            },
            std::move(started));
    }

private:
    // The connection kept from the last request, once the server has answered on it, or a
    // new one. Every connection costs the server and this process a client of its own (a
    // context, its modules, a thread): a recording's check, content request and recorder
    // share one. A kept connection that the server lost is replaced; one on which it does not
    // answer is given up, as a new one would be.
    std::expected<std::unique_ptr<PipewireClient>, BackendError> take_client(
        std::chrono::milliseconds limit) {
        std::unique_ptr<PipewireClient> kept;
        {
            std::lock_guard lock(mutex_);
            kept = std::move(kept_);
        }
        if (!kept) return PipewireClient::connect(limit);
        pipewire::pw_thread_loop_lock(kept->loop());
        // What the server said before its answer is known here after it: the sinks are current.
        const bool answered = kept->roundtrip(limit);
        const bool lost = kept->lost();
        pipewire::pw_thread_loop_unlock(kept->loop());
        if (answered) return kept;
        kept.reset();
        if (lost) return PipewireClient::connect(limit);
        return std::unexpected(pipewire::library_error(-ETIMEDOUT));
    }

    // Keeps `client` for the next request; the one kept before it, if any, is closed.
    void keep(std::unique_ptr<PipewireClient> client) {
        {
            std::lock_guard lock(mutex_);
            std::swap(kept_, client);
        }
        // Closing joins its thread: outside the lock.
        client.reset();
    }

    std::mutex mutex_;
    std::unique_ptr<PipewireClient> kept_;
};

}  // namespace

std::shared_ptr<PipewireBackend> make_pipewire_backend() {
    return std::make_shared<PipewireBackendImpl>();
}

}  // namespace platform
