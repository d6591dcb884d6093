#pragma once

// A capture over a sound-server recorder, for either backend. Starting a recorder talks to
// the server, so the start runs on a platform worker; the capture's owner may stop or drop
// the capture meanwhile, and then the recorder, once started, is stopped at once and the
// start answers that the capture ended before it started.
//
// `Recorder` needs only stop(), which must join whatever thread calls its handlers.

#include <condition_variable>
#include <expected>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/model/backend.h"
#include "platform/runtime/runtime.h"

namespace platform::audio {

template <class Recorder>
class RecorderCapture final : public Capture {
    // What the capture and its start job share.
    struct State {
        std::mutex mutex;
        std::condition_variable settled;
        bool starting = true;
        bool ended = false;
        std::unique_ptr<Recorder> recorder;

        // Marks the capture ended and takes the recorder out once the start has settled.
        std::unique_ptr<Recorder> end() {
            std::unique_lock lock(mutex);
            ended = true;
            settled.wait(lock, [this] { return !starting; });
            return std::move(recorder);
        }

        // Hands back what the capture, already ended, did not keep.
        std::unique_ptr<Recorder> settle(std::unique_ptr<Recorder> started) {
            std::lock_guard lock(mutex);
            starting = false;
            if (!ended) recorder = std::move(started);
            settled.notify_all();
            return started;
        }
    };
    struct Key {};

public:
    using Started = std::expected<std::unique_ptr<Recorder>, BackendError>;

    // Runs `start` (callable as Started()) on a platform worker and answers `started` with its
    // outcome. The capture returned owns the recorder from then on.
    template <class Start>
    static std::unique_ptr<Capture> launch(Start start, Reply<Outcome> started) {
        auto state = std::make_shared<State>();
        post([state, start = std::move(start), started = std::move(started)]() mutable {
            Started recorder = start();
            if (!recorder) {
                state->settle(nullptr);
                started(std::unexpected(std::move(recorder.error())));
                return;
            }
            if (auto unwanted = state->settle(std::move(*recorder))) {
                unwanted->stop();
                started(std::unexpected(BackendError("The capture ended before it started")));
                return;
            }
            started({});
        });
        return std::make_unique<RecorderCapture>(Key{}, std::move(state));
    }

    RecorderCapture(Key, std::shared_ptr<State> state) : state_(std::move(state)) {}

    ~RecorderCapture() override {
        if (auto recorder = state_->end()) recorder->stop();
    }

    void stop(Reply<Outcome> stopped) override {
        // The recorder's stop joins its threads: once the answer goes out, no fragment
        // reaches the sink any more.
        if (auto recorder = state_->end()) recorder->stop();
        stopped({});
    }

private:
    std::shared_ptr<State> state_;
};

}  // namespace platform::audio
