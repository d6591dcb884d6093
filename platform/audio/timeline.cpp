#include "platform/audio/timeline.h"

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

std::int64_t Timeline::due(Clock::time_point now) const { return frames_in(now - *started_at_); }

void Timeline::settle(Clock::time_point now) {
    state_ = State::Settling;
    settling_since_ = now;
}

Timeline::Arrival Timeline::resolve(Clock::time_point now, std::int64_t silence,
                                    std::uint64_t arriving) {
    // Never beyond the wall clock, also when data has been coming a little early.
    silence = std::min(silence, due(now) - static_cast<std::int64_t>(counted_ + arriving));
    state_ = State::Running;
    evidence_ = false;
    held_ = 0;
    baseline_at_ = now;
    const auto owed = static_cast<std::uint64_t>(std::max<std::int64_t>(0, silence));
    counted_ += owed + arriving;
    return {owed, false};
}

Timeline::Arrival Timeline::arrive(Clock::time_point now, std::uint64_t arriving) {
    if (!started_at_) start(now);
    // The lag once these frames are counted.
    const std::int64_t lag =
        due(now) - static_cast<std::int64_t>(counted_) - static_cast<std::int64_t>(arriving);
    const auto hold = [&] {
        counted_ += arriving;
        held_ += arriving;
        return Arrival{0, true};
    };
    switch (state_) {
        case State::Waiting:
            // One fragment of lag is the ordinary delivery delay.
            baseline_ = static_cast<double>(fragment_frames_);
            if (lag <= 2 * fragment_frames_) return resolve(now, lag - fragment_frames_, arriving);
            // The start is a gap the coming data may cover.
            evidence_ = true;
            settle(now);
            return hold();
        case State::Running: {
            const double creep = static_cast<double>(frames_in(now - baseline_at_)) * CREEP;
            baseline_ = std::min(static_cast<double>(lag), baseline_ + creep);
            baseline_at_ = now;
            const auto excess = static_cast<std::int64_t>(static_cast<double>(lag) - baseline_);
            if (!evidence_ && excess <= frames_in(GAP)) {
                counted_ += arriving;
                return {};
            }
            settle(now);
            return hold();
        }
        case State::Settling: {
            const auto excess = static_cast<std::int64_t>(static_cast<double>(lag) - baseline_);
            // Caught up: a burst covered the gap, or what the server said was missing.
            if (excess <= 2 * fragment_frames_)
                return resolve(now, evidence_ ? excess : 0, arriving);
            // A lag that lasts, with data coming at real time, is a gap of its own size.
            if (now - settling_since_ >= SETTLE ||
                static_cast<std::int64_t>(held_ + arriving) > frames_in(MAX_HOLD)) {
                return resolve(now, excess, arriving);
            }
            return hold();
        }
    }
    return {};
}

std::uint64_t Timeline::end(Clock::time_point now) {
    if (!started_at_) return 0;
    const std::int64_t lag = due(now) - static_cast<std::int64_t>(counted_);
    const auto excess = static_cast<std::int64_t>(static_cast<double>(lag) - baseline_);
    std::int64_t silence = 0;
    switch (state_) {
        case State::Waiting:
            // No data at all: the whole wait is owed.
            silence = lag > fragment_frames_ ? lag : 0;
            break;
        case State::Settling:
            silence = excess;
            break;
        case State::Running:
            // Beyond the usual lag when the server said so, or well beyond delivery jitter
            // (a server that hangs until the stop).
            if (evidence_ ||
                excess > 2 * fragment_frames_ + frames_in(std::chrono::milliseconds(30))) {
                silence = excess;
            }
            break;
    }
    state_ = State::Running;
    evidence_ = false;
    held_ = 0;
    const auto owed = static_cast<std::uint64_t>(std::max<std::int64_t>(0, std::min(silence, lag)));
    counted_ += owed;
    return owed;
}

}  // namespace platform::pulse
