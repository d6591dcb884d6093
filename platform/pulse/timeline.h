#pragma once

// Keeps a recording as long as the wall-clock time it ran, across the sound server's gaps.
//
// The server delivers a little behind real time (its fragment, the trip to us); the usual
// lag is learnt as a baseline. Silence is owed for a lag beyond it only on evidence of a
// gap: the server said data is missing (a suspended or moved source, an overflow), the
// recording starts or ends, or the lag stayed far beyond the baseline while data kept
// coming (a catch-up burst after a stall brings it back at once, and is no gap). The
// baseline may rise only slowly (1 ms per second), so it follows a sound card's clock
// drifting against ours but not a gap; it follows a lag that falls at once.

#include <chrono>
#include <cstdint>
#include <optional>

namespace platform::pulse {

class Timeline {
public:
    using Clock = std::chrono::steady_clock;

    // A lag this far beyond the baseline is no delivery jitter.
    static constexpr auto GAP = std::chrono::milliseconds(150);
    // How long such a lag must persist, with data arriving, before it counts as a gap.
    static constexpr auto SETTLE = std::chrono::milliseconds(200);
    // How fast the baseline may rise: 1 ms of lag per second, far above any clock drift.
    static constexpr double CREEP = 0.001;

    Timeline(std::uint32_t rate, std::chrono::microseconds fragment);

    // Time counts from here: the stream is ready.
    void start(Clock::time_point at);
    bool started() const { return started_at_.has_value(); }

    // The server said data is missing; the next arrival or the end fills the gap.
    void note_gap() { evidence_ = true; }

    // Frames of silence that go before `arriving` frames arriving at `now`. Counts both.
    std::uint64_t arrive(Clock::time_point now, std::uint64_t arriving);

    // Frames of silence owed when the recording ends at `now` (stop or failure).
    std::uint64_t end(Clock::time_point now);

    std::uint64_t counted() const { return counted_; }

private:
    std::int64_t due(Clock::time_point now) const;
    std::int64_t frames_in(std::chrono::nanoseconds span) const;

    std::uint32_t rate_;
    std::int64_t fragment_frames_;
    std::optional<Clock::time_point> started_at_;
    std::uint64_t counted_ = 0;
    bool seen_data_ = false;
    bool evidence_ = false;
    double baseline_ = 0;  // usual lag, in frames (it creeps by fractions of one)
    Clock::time_point baseline_at_{};
    std::optional<Clock::time_point> lagging_since_;
};

}  // namespace platform::pulse
