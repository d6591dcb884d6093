// A backend for tests: the test decides the displays, every answer and failure, duplicate
// answers, unexpected stops, and what each capture delivers.
//
// Answers happen synchronously inside the platform's request unless the count for them is
// 0, in which case the request is held until the test answers it. The platform still runs
// every completion on its own worker threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/model/backend.h"

namespace platform::scripted {

// One capture the platform started through the scripted backend; the test's handle on it.
class ScriptedCapture {
public:
    ScriptedCapture(CaptureParams params, std::shared_ptr<CaptureSink> sink);

    const CaptureParams& params() const noexcept { return params_; }

    // Feed the stream as a running capture would (push_audio: a room filled with a copy and
    // handed over). Ignored by the platform once the capture has stopped or failed, or its
    // stream is gone.
    void push_audio(std::span<const float> interleaved, std::uint32_t channels,
                    std::int64_t sample_rate);
    // The sink's own calls: room for a fragment, and the hand-over of what it holds.
    std::span<float> audio_room(std::size_t samples, std::uint32_t channels,
                                std::int64_t sample_rate);
    void commit_audio(std::size_t samples);
    // Reports a failure while recording (the platform counts only the first).
    void fail(std::string description);

    // A start held by ScriptedBackend::set_start(…, 0); answered here, as often as asked.
    bool start_held() const;
    void answer_start(Outcome outcome, unsigned times = 1);

    // Stop requests the platform made; a stop held by ScriptedBackend::set_stop(…, 0).
    std::size_t stop_requests() const;
    void answer_stop(Outcome outcome, unsigned times = 1);

    // The platform has destroyed its Capture for this recording.
    bool released() const;

private:
    friend class ScriptedBackend;
    friend class ScriptedCaptureHandle;
    void hold_start(Reply<Outcome> started);
    // Counts a stop request; false when the answer is held (times 0).
    bool note_stop(const Reply<Outcome>& stopped, unsigned times);
    void mark_released();
    // Answers a held start or stop, times times, and forgets it.
    void answer_held(std::optional<Reply<Outcome>>& held, const Outcome& outcome, unsigned times);

    const CaptureParams params_;
    const std::shared_ptr<CaptureSink> sink_;
    mutable std::mutex mutex_;
    std::optional<Reply<Outcome>> held_start_;
    std::optional<Reply<Outcome>> held_stop_;
    std::size_t stop_requests_ = 0;
    bool released_ = false;
};

class ScriptedBackend final : public Backend {
public:
    // By default: one display (id 1, source "scripted-display-1"), every answer a success
    // given once, every output admitted.
    ScriptedBackend();

    // Creates a scripted backend and installs it process-wide.
    static std::shared_ptr<ScriptedBackend> install();

    // Every later content request is answered times times with result; 0 holds requests.
    void set_content(ContentResult result, unsigned times = 1);
    void set_displays(std::vector<DisplayDescription> displays);
    std::size_t content_requests() const;
    std::size_t held_content_requests() const;
    // Answers every held request times times.
    void answer_content(ContentResult result, unsigned times = 1);
    // Forgets every held request without answering it.
    void drop_held_content();

    // Every later start (stop) is answered times times with outcome; 0 holds it for the
    // capture's answer_start (answer_stop).
    void set_start(Outcome outcome, unsigned times = 1);
    void set_stop(Outcome outcome, unsigned times = 1);

    // start_capture answers as scripted, then waits this long before it returns the capture,
    // so that a test can hold open the window in which the answer is out but the capture not
    // yet handed over.
    void set_start_return_delay(std::chrono::milliseconds delay);

    // A reason makes addStreamOutput fail with it; nullopt admits outputs again.
    void refuse_outputs(std::optional<std::string> reason);

    std::vector<std::shared_ptr<ScriptedCapture>> captures() const;
    std::shared_ptr<ScriptedCapture> last_capture() const;

    void get_content(Reply<ContentResult> reply) override;
    std::unique_ptr<Capture> start_capture(const CaptureParams& params,
                                           std::shared_ptr<CaptureSink> sink,
                                           Reply<Outcome> started) override;
    Outcome admit_output(SCStreamOutputType type) override;

    struct Answer {
        Outcome outcome;
        unsigned times;
    };
    // The stop answer, shared with the captures that consult it when a stop comes.
    class StopScript {
    public:
        Answer get() const {
            std::lock_guard lock(mutex_);
            return answer_;
        }
        void set(Answer answer) {
            std::lock_guard lock(mutex_);
            answer_ = std::move(answer);
        }

    private:
        mutable std::mutex mutex_;
        Answer answer_{{}, 1};
    };

private:
    mutable std::mutex mutex_;
    ContentResult content_;
    unsigned content_times_ = 1;
    std::size_t content_requests_ = 0;
    std::vector<Reply<ContentResult>> held_content_;
    Answer start_{{}, 1};
    std::chrono::milliseconds start_return_delay_{0};
    const std::shared_ptr<StopScript> stop_ = std::make_shared<StopScript>();
    std::optional<std::string> output_refusal_;
    std::vector<std::shared_ptr<ScriptedCapture>> captures_;
};

}  // namespace platform::scripted
