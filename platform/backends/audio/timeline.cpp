#include "platform/backends/audio/timeline.h"

#include <algorithm>
#include <cmath>

namespace platform::audio {

Timeline::Timeline(std::uint32_t rate, std::chrono::microseconds fragment)
    : rate_(rate), fragment_frames_(frames_in(fragment)) {}

void Timeline::start(Clock::time_point at) {
    if (!started_at_) started_at_ = at;
}

// Whole seconds and the rest apart: the product of nanoseconds and the rate passes the 64-bit
// range after 53 hours at 48 kHz, the frames themselves never do.
std::int64_t Timeline::frames_in(std::chrono::nanoseconds span) const {
    constexpr std::int64_t SECOND = 1'000'000'000;
    const auto rate = static_cast<std::int64_t>(rate_);
    return span.count() / SECOND * rate + span.count() % SECOND * rate / SECOND;
}

std::int64_t Timeline::due(Clock::time_point now) const { return frames_in(now - *started_at_); }

void Timeline::settle(Clock::time_point now, std::int64_t excess, bool reported) {
    state_ = State::Settling;
    settling_since_ = now;
    settling_excess_ = excess;
    reported_ = reported;
    // A lag that fell just before a gap the server reported is more data than time: a span
    // handed over twice (a sink that renders again what it had rendered for a player that
    // left), which what comes after the gap overlaps. Measure from the lag of a while ago.
    if (reported) baseline_ = std::max(baseline_, earlier_);
}

void Timeline::follow(Clock::time_point now, std::int64_t lag) {
    const double creep = static_cast<double>(frames_in(now - baseline_at_)) * CREEP;
    baseline_ = std::min(static_cast<double>(lag), baseline_ + creep);
    baseline_at_ = now;
    if (now - recent_at_ >= SETTLE) {
        earlier_ = recent_;
        recent_ = baseline_;
        recent_at_ = now;
    }
}

Timeline::Arrival Timeline::resolve(Clock::time_point now, std::int64_t silence,
                                    std::uint64_t arriving) {
    // Short of the baseline after a reported gap: what came after it overlaps what came
    // before by that much.
    std::uint64_t overlap = 0;
    if (reported_ && silence < 0) overlap = std::min(static_cast<std::uint64_t>(-silence), held_);
    // Never beyond the wall clock, also when data has been coming a little early.
    silence = std::min(silence, due(now) - static_cast<std::int64_t>(counted_ + arriving));
    state_ = State::Running;
    evidence_ = false;
    reported_ = false;
    held_ = 0;
    baseline_at_ = now;
    const auto owed = static_cast<std::uint64_t>(std::max<std::int64_t>(0, silence));
    counted_ += owed + arriving;
    counted_ -= overlap;
    return {owed, overlap, false};
}

Timeline::Arrival Timeline::arrive(Clock::time_point now, std::uint64_t arriving) {
    if (!started_at_) start(now);
    // The lag once these frames are counted.
    const std::int64_t lag =
        due(now) - static_cast<std::int64_t>(counted_) - static_cast<std::int64_t>(arriving);
    const auto hold = [&] {
        counted_ += arriving;
        held_ += arriving;
        return Arrival{.hold = true};
    };
    const auto excess_of = [&] {
        return static_cast<std::int64_t>(static_cast<double>(lag) - baseline_);
    };
    switch (state_) {
        case State::Waiting:
            // One fragment of lag is the ordinary delivery delay.
            baseline_ = earlier_ = recent_ = static_cast<double>(fragment_frames_);
            recent_at_ = now;
            if (lag <= 2 * fragment_frames_) return resolve(now, lag - fragment_frames_, arriving);
            // The start is a gap the coming data may cover.
            evidence_ = true;
            settle(now, excess_of(), false);
            return hold();
        case State::Running: {
            follow(now, lag);
            const auto excess = excess_of();
            if (!evidence_ && excess <= frames_in(GAP)) {
                counted_ += arriving;
                return {};
            }
            settle(now, excess, evidence_);
            return hold();
        }
        case State::Settling: {
            const auto excess = excess_of();
            const bool full = static_cast<std::int64_t>(held_ + arriving) > frames_in(MAX_HOLD);
            if (reported_) {
                settling_excess_ = std::min(settling_excess_, excess);
                if (now - settling_since_ >= SETTLE || full) {
                    return resolve(now, settling_excess_, arriving);
                }
                return hold();
            }
            // Caught up: what the server said was missing, or, without a word from it, as
            // far as delivery jitter.
            if (excess <= (evidence_ ? 2 * fragment_frames_ : frames_in(GAP)))
                return resolve(now, evidence_ ? excess : 0, arriving);
            // A lag that lasts is a gap of its own size.
            if (now - settling_since_ >= SETTLE || full) return resolve(now, excess, arriving);
            return hold();
        }
    }
    return {};
}

std::uint64_t Timeline::still_due(Clock::time_point at) const {
    if (!started_at_) return 0;
    const std::int64_t room =
        due(at) + std::llround(baseline_) + fragment_frames_ - static_cast<std::int64_t>(counted_);
    return room > 0 ? static_cast<std::uint64_t>(room) : 0;
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
    reported_ = false;
    held_ = 0;
    const auto owed = static_cast<std::uint64_t>(std::max<std::int64_t>(0, std::min(silence, lag)));
    counted_ += owed;
    return owed;
}

}  // namespace platform::audio
