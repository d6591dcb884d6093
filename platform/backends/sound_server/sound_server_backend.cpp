#include "platform/backends/sound_server/sound_server_backend.h"

#include <mutex>
#include <utility>

#include "platform/backends/pipewire/pipewire_backend.h"
#include "platform/backends/pulse/pulse_backend.h"
#include "platform/runtime/runtime.h"

namespace platform {
namespace {

class SoundServerBackend final : public Backend,
                                 public std::enable_shared_from_this<SoundServerBackend> {
public:
    void get_content(Reply<ContentResult> reply) override {
        // Asking PipeWire takes a connection: not on the caller's thread.
        post([self = shared_from_this(), reply = std::move(reply)]() mutable {
            self->choose()->get_content(std::move(reply));
        });
    }

    std::unique_ptr<Capture> start_capture(const CaptureParams& params,
                                           std::shared_ptr<CaptureSink> sink,
                                           Reply<Outcome> started) override {
        return chosen()->start_capture(params, std::move(sink), std::move(started));
    }

private:
    std::shared_ptr<Backend> choose() {
        const bool native = pipewire_->manages_audio();
        std::lock_guard lock(mutex_);
        chosen_ = native ? pipewire_ : pulse_;
        return chosen_;
    }

    std::shared_ptr<Backend> chosen() {
        std::lock_guard lock(mutex_);
        return chosen_;
    }

    const std::shared_ptr<PipewireBackend> pipewire_ = make_pipewire_backend();
    const std::shared_ptr<Backend> pulse_ = make_pulse_backend();
    std::mutex mutex_;
    std::shared_ptr<Backend> chosen_ = pulse_;
};

}  // namespace

std::shared_ptr<Backend> make_sound_server_backend() {
    return std::make_shared<SoundServerBackend>();
}

void install_sound_server_backend() { install_backend(make_sound_server_backend()); }

}  // namespace platform
