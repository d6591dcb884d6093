#include "platform/pulse/timeline.h"

#include <algorithm>

namespace platform::pulse {

Timeline::Timeline(std::uint32_t rate, std::chrono::microseconds fragment)
    : rate_(rate), fragment_frames_(frames_in(fragment)) {}

void Timeline::start(Clock::time_point at) {
    if (!started_at_) started_at_ = at;
}

std::int64_t Timeline::frames_in(std::chrono::nanoseconds span) const {
    return span.count() * static_cast<std::int64_t>(rate_) / 1'000'000'000;
}

std::int64_t Timeline::due(Clock::time_point now) const {
    return frames_in(now - *started_at_);
}

std::uint64_t Timeline::arrive(Clock::time_point now, std::uint64_t arriving) {
    if (!started_at_) start(now);
    // The lag once these frames are counted.
    const std::int64_t lag =
        due(now) - static_cast<std::int64_t>(counted_) - static_cast<std::int64_t>(arriving);
    std::int64_t silence = 0;
    if (!seen_data_) {
        // The first data: the wait since the start is a gap, less one fragment of
        // ordinary delivery delay.
        seen_data_ = true;
        silence = std::max<std::int64_t>(0, lag - fragment_frames_);
        baseline_ = static_cast<double>(lag - silence);
        baseline_at_ = now;
        evidence_ = false;
    } else {
        const double creep =
            static_cast<double>(frames_in(now - baseline_at_)) * CREEP;
        baseline_ = std::min(static_cast<double>(lag), baseline_ + creep);
        baseline_at_ = now;
        const auto excess = static_cast<std::int64_t>(static_cast<double>(lag) - baseline_);
        if (evidence_) {
            evidence_ = false;
            lagging_since_.reset();
            silence = std::max<std::int64_t>(0, excess);
        } else if (excess > frames_in(GAP)) {
            if (!lagging_since_) {
                lagging_since_ = now;
            } else if (now - *lagging_since_ >= SETTLE) {
                lagging_since_.reset();
                silence = excess;
            }
        } else {
            lagging_since_.reset();
        }
    }
    counted_ += static_cast<std::uint64_t>(silence) + arriving;
    return static_cast<std::uint64_t>(silence);
}

std::uint64_t Timeline::end(Clock::time_point now) {
    if (!started_at_) return 0;
    const std::int64_t lag = due(now) - static_cast<std::int64_t>(counted_);
    // Without data the whole wait is owed; otherwise what lies beyond the usual lag when
    // the server said so, or when it is well beyond delivery jitter (a frozen server).
    std::int64_t silence = 0;
    if (!seen_data_) {
        silence = lag > fragment_frames_ ? lag : 0;
    } else {
        const auto excess = static_cast<std::int64_t>(static_cast<double>(lag) - baseline_);
        if (evidence_ || excess > 2 * fragment_frames_ + frames_in(std::chrono::milliseconds(30))) {
            silence = std::max<std::int64_t>(0, excess);
        }
    }
    evidence_ = false;
    counted_ += static_cast<std::uint64_t>(silence);
    return static_cast<std::uint64_t>(silence);
}

}  // namespace platform::pulse
