#pragma once

// Keeps a recording as long as the wall-clock time it ran, across the sound server's gaps.
//
// The server delivers a little behind real time (its fragment, the trip to us); the usual
// lag is learnt as a baseline. Silence is owed for a lag beyond it only on evidence of a
// gap: the server said data is missing (a suspended sink, an overflow, a move to another
// sink), the recording starts or ends, or the lag stayed far beyond the baseline while data
// kept coming. The baseline may rise only slowly (1 ms per second), so it follows a sound
// card's clock drifting against ours but not a gap; it follows a lag that falls at once.
//
// Each arrival comes with the time its last frame was recorded, by the server's clock where
// it says (a reported position, a graph cycle), so a recorder that reads late or slowly sees
// no lag of its own making. Data that comes after such a gap is held back until it is clear
// how much of the gap it covers: a lag that falls back at once was delivery jitter; one that
// lasts is silence, which goes before the data held.
//
// After a gap the server reported while recording, the data is held until its deliveries
// have settled, and the least lag they showed decides, against the baseline of a while
// before the gap: beyond it, silence; short of it, the data overlaps time already recorded
// (the sink left behind renders again, without the player that moved, the span it had
// rendered ahead, and hands over both, just before the gap), and that many frames at the
// start of what came after the gap are dropped, so no time is counted twice.

#include <chrono>
#include <cstdint>
#include <optional>

namespace platform::audio {

class Timeline {
public:
    using Clock = std::chrono::steady_clock;

    // A lag this far beyond the baseline is no delivery jitter.
    static constexpr auto GAP = std::chrono::milliseconds(150);
    // How long such a lag must persist, with data arriving, before it is filled.
    static constexpr auto SETTLE = std::chrono::milliseconds(200);
    // The most data held back while that is undecided.
    static constexpr auto MAX_HOLD = std::chrono::milliseconds(3000);
    // How fast the baseline may rise: 1 ms of lag per second, far above any clock drift.
    static constexpr double CREEP = 0.001;

    struct Arrival {
        std::uint64_t silence = 0;  // frames of silence that go before the frames held
        std::uint64_t overlap = 0;  // frames dropped from the start of the frames held
        bool hold = false;          // hold these frames back too: it is not decided yet
    };

    Timeline(std::uint32_t rate, std::chrono::microseconds fragment);

    // Time counts from here: the stream is ready.
    void start(Clock::time_point at);

    // The server said data is missing; the next arrivals or the end fill the gap.
    void note_gap() { evidence_ = true; }

    // `arriving` frames, the last of them recorded at `now`. Without hold, the silence, the
    // frames held before (less the overlap), then these go out. Counts all of them.
    Arrival arrive(Clock::time_point now, std::uint64_t arriving);

    // Frames of silence owed when the recording ends at `now` (stop or failure); they go
    // before the frames held.
    std::uint64_t end(Clock::time_point now);

    // Frames that may still come for a recording stopped at `at`: what was heard before it
    // and is still on its way (the lag at `at`), and the usual lag and a fragment more for a
    // late delivery, less what has come since.
    std::uint64_t still_due(Clock::time_point at) const;

    std::uint64_t counted() const { return counted_; }

private:
    enum class State { Waiting, Running, Settling };

    std::int64_t due(Clock::time_point now) const;
    std::int64_t frames_in(std::chrono::nanoseconds span) const;
    void settle(Clock::time_point now, std::int64_t excess, bool reported);
    void follow(Clock::time_point now, std::int64_t lag);
    Arrival resolve(Clock::time_point now, std::int64_t silence, std::uint64_t arriving);

    std::uint32_t rate_;
    std::int64_t fragment_frames_;
    std::optional<Clock::time_point> started_at_;
    State state_ = State::Waiting;
    std::uint64_t counted_ = 0;  // handed over, held and owed silence included
    std::uint64_t held_ = 0;
    bool evidence_ = false;
    double baseline_ = 0;  // usual lag, in frames (it creeps by fractions of one)
    Clock::time_point baseline_at_{};
    Clock::time_point settling_since_{};
    std::int64_t settling_excess_ = 0;  // the least excess while settling
    bool reported_ = false;             // settling after a gap the server reported
    double recent_ = 0;                 // the baseline at recent_at_
    double earlier_ = 0;                // and at the time before, at least SETTLE earlier
    Clock::time_point recent_at_{};
};

}  // namespace platform::audio
