#include "platform/backends/audio/recorder_core.h"

#include <limits>
#include <utility>

namespace platform::audio {

RecorderCore::RecorderCore(const Format& format, std::shared_ptr<CaptureSink> sink,
                           std::function<void()> before_end)
    : channels_(format.channels),
      sink_(std::move(sink)),
      // Each fragment is gathered in the room the sink gave last: it hands that over.
      on_fragment_([sink = sink_.get()](std::span<const float> fragment, std::uint64_t) {
          sink->audio(fragment.size());
      }),
      before_end_(std::move(before_end)),
      timeline_(format.rate, format.first_data),
      assembler_(format.channels,
                 static_cast<std::size_t>(format.delivery.count() * format.rate / 1'000'000),
                 [sink = sink_.get(), channels = format.channels, rate = format.rate](
                     std::size_t samples) { return sink->audio_room(samples, channels, rate); }),
      held_(format.channels),
      cycle_(format.cycle) {}

void RecorderCore::place(Clock::time_point at, const void* data, std::size_t bytes,
                         std::size_t frames) {
    if (closed_) return;
    const auto arrival = timeline_.arrive(at, frames);
    if (!arrival.hold) held_.release(arrival.silence, arrival.overlap, assembler_, on_fragment_);
    if (data == nullptr) {
        // A hole: the same length of silence keeps time whole.
        take(nullptr, frames * sizeof(float) * channels_, arrival.hold);
    } else if (mixer_) {
        const auto mixed = mixer_->mix(data, bytes);
        take(mixed.data(), mixed.size() * sizeof(float), arrival.hold);
    } else {
        take(data, bytes, arrival.hold);
    }
}

void RecorderCore::take(const void* data, std::size_t bytes, bool hold) {
    held_.take(data, bytes, hold, assembler_, on_fragment_);
}

void RecorderCore::tail_came(Clock::time_point at) {
    if (!awaiting_tail_ || at < tail_after_) return;
    awaiting_tail_ = false;
    closed_ = true;
    {
        std::lock_guard lock(tail_mutex_);
        tail_done_ = true;
    }
    tail_seen_.notify_all();
}

std::size_t RecorderCore::due_after_stop(std::size_t frame_bytes) const {
    if (!awaiting_tail_) return std::numeric_limits<std::size_t>::max();
    return timeline_.still_due(stopped_at_) * frame_bytes;
}

// What was recorded counts (up to the tail a stop waited for, when it came), and so does the
// time the server still owed at `at`.
void RecorderCore::end(Clock::time_point at) {
    if (ended_) return;
    if (before_end_) before_end_();
    closed_ = true;
    ended_ = true;
    held_.release(timeline_.end(at), 0, assembler_, on_fragment_);
    assembler_.flush(on_fragment_);
    // A stop that waits for the tail waits no more.
    tail_came(Clock::time_point::max());
}

void RecorderCore::fail(BackendError failure, bool recorded, Clock::time_point at) {
    if (ended_) return;  // a stop ended the recording: it has no failure to tell
    if (recorded) end(at);
    closed_ = true;
    sink_->failed(std::move(failure));
}

// What was heard in the last cycle before the stop comes with a later one: take what comes
// until data arrives a whole cycle after the stop. A stream that sends nothing (a suspended
// sink, a move) costs the wait's limit.
void RecorderCore::finish(bool await, const Run& run) {
    const auto stopped_at = Clock::now();
    std::optional<std::chrono::milliseconds> cycle;
    run([&] {
        if (!await || ended_) return;
        cycle = std::chrono::duration_cast<std::chrono::milliseconds>(cycle_);
        stopped_at_ = stopped_at;
        tail_after_ = stopped_at + *cycle;
        awaiting_tail_ = true;
    });
    if (cycle) {
        std::unique_lock lock(tail_mutex_);
        tail_seen_.wait_for(lock, 2 * *cycle + TAIL_MARGIN, [this] { return tail_done_; });
    }
    run([&] {
        awaiting_tail_ = false;
        end(stopped_at);
    });
}

}  // namespace platform::audio
