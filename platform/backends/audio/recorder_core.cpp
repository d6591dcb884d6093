#include "platform/backends/audio/recorder_core.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace platform::audio {

RecorderCore::RecorderCore(const Format& format, std::shared_ptr<CaptureSink> sink,
                           std::function<void()> before_end)
    : channels_(format.channels),
      rate_(format.rate),
      sink_(std::move(sink)),
      before_end_(std::move(before_end)),
      timeline_(format.rate, format.first_data),
      fragment_bytes_(std::max<std::size_t>(1, static_cast<std::size_t>(format.delivery.count() *
                                                                        format.rate / 1'000'000)) *
                      sizeof(float) * std::max<std::uint32_t>(1, format.channels)),
      cycle_(format.cycle) {}

void RecorderCore::place(Clock::time_point at, const void* data, std::size_t bytes,
                         std::size_t frames) {
    if (closed_) return;
    const auto arrival = timeline_.arrive(at, frames);
    if (!arrival.hold) release(arrival.silence, arrival.overlap);
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
    if (!hold) return gather(data, bytes);
    const auto* in = static_cast<const std::byte*>(data);
    if (in != nullptr) {
        held_.insert(held_.end(), in, in + bytes);
    } else {
        held_.resize(held_.size() + bytes, std::byte{0});
    }
}

void RecorderCore::release(std::uint64_t silence, std::uint64_t overlap) {
    if (silence == 0 && held_.empty()) return;  // every buffer but those after a gap
    const std::size_t frame_bytes = sizeof(float) * channels_;
    const std::size_t dropped = std::min<std::size_t>(overlap * frame_bytes, held_.size());
    if (silence > 0) gather(nullptr, silence * frame_bytes);
    if (dropped < held_.size()) gather(held_.data() + dropped, held_.size() - dropped);
    // Holding is rare (after a gap): its memory goes back rather than staying for the run.
    std::vector<std::byte>().swap(held_);
}

void RecorderCore::gather(const void* data, std::size_t bytes) {
    const auto* in = static_cast<const std::byte*>(data);
    for (std::size_t offset = 0; offset < bytes;) {
        if (room_ == nullptr) {
            room_ = reinterpret_cast<std::byte*>(
                sink_->audio_room(fragment_bytes_ / sizeof(float), channels_, rate_).data());
        }
        const std::size_t count = std::min(bytes - offset, fragment_bytes_ - gathered_bytes_);
        if (in != nullptr) {
            std::memcpy(room_ + gathered_bytes_, in + offset, count);
        } else {
            std::memset(room_ + gathered_bytes_, 0, count);
        }
        offset += count;
        gathered_bytes_ += count;
        if (gathered_bytes_ == fragment_bytes_) hand_over();
    }
}

void RecorderCore::hand_over() {
    if (gathered_bytes_ == 0) return;
    room_ = nullptr;
    sink_->audio(std::exchange(gathered_bytes_, 0) / sizeof(float));
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
    release(timeline_.end(at), 0);
    hand_over();
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
