#include "platform/audio/timeline.h"

#include <algorithm>
#include <cmath>

namespace platform::audio {

Timeline::Timeline(std::uint32_t rate, std::chrono::microseconds fragment)
    : rate_(rate), fragment_frames_(frames_in(fragment)) {}

void Timeline::start(Clock::time_point at) {
    if (!started_at_) started_at_ = at;
}

std::int64_t Timeline::frames_in(std::chrono::nanoseconds span) const {
    return span.count() * static_cast<std::int64_t>(rate_) / 1'000'000'000;
}

std::int64_t Timeline::due(Clock::time_point now) const { return frames_in(now - *started_at_); }

void Timeline::settle(Clock::time_point now, std::int64_t excess, bool reported) {
    state_ = State::Settling;
    at_start_ = false;
    settling_since_ = now;
    settling_excess_ = excess;
    reported_ = reported;
    burst_ = 0;
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
                                    std::uint64_t arriving, std::uint64_t ahead) {
    // Short of the baseline after a reported gap: what came after it overlaps what came
    // before by that much.
    std::uint64_t overlap = 0;
    if (reported_ && silence < 0) overlap = std::min(static_cast<std::uint64_t>(-silence), held_);
    // Never beyond the wall clock, also when data has been coming a little early.
    silence = std::min(silence, due(now) - static_cast<std::int64_t>(counted_ + arriving));
    ahead = std::min(ahead, held_ - overlap);
    state_ = State::Running;
    evidence_ = false;
    reported_ = false;
    held_ = 0;
    burst_ = 0;
    baseline_at_ = now;
    const auto owed = static_cast<std::uint64_t>(std::max<std::int64_t>(0, silence));
    counted_ += owed + arriving;
    counted_ -= overlap;
    return {owed, overlap, owed > 0 ? ahead : 0, false};
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
            at_start_ = true;
            return hold();
        case State::Running: {
            follow(now, lag);
            const auto excess = excess_of();
            if (!evidence_ && excess <= frames_in(GAP)) {
                counted_ += arriving;
                return {};
            }
            settle(now, excess, evidence_);
            // More than a couple of deliveries at once was waiting already: the start of
            // a burst, which the silence for a lasting lag goes after.
            if (arriving > static_cast<std::uint64_t>(2 * fragment_frames_)) burst_ = arriving;
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
            // far as delivery jitter: a burst covered the gap.
            if (excess <= (evidence_ ? 2 * fragment_frames_ : frames_in(GAP)))
                return resolve(now, evidence_ ? excess : 0, arriving);
            // Still catching up: the lag shrinks faster than time passes.
            if (excess < settling_excess_ - fragment_frames_) {
                settling_since_ = now;
                settling_excess_ = excess;
                burst_ = held_ + arriving;
            }
            // A lag that lasts, with data coming at real time, is a gap of its own size. After
            // a stall (not at the start, where the first data is the latest) it goes after
            // what came in a burst: what the server kept of the gap from its start, also when
            // the server reported a gap of its own meanwhile (the output switched while we
            // were stopped).
            if (now - settling_since_ >= SETTLE) {
                return resolve(now, excess, arriving, at_start_ ? 0 : burst_);
            }
            if (full) {
                if (evidence_) return resolve(now, excess, arriving);
                // A long burst: what came so far covers the start of the gap.
                counted_ += arriving;
                held_ = 0;
                burst_ = 0;
                return {};
            }
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
