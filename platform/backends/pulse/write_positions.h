#pragma once

// Where a record stream's frames were recorded, from the server's reports of how far its
// writing had got and when, however late or slowly the frames are read.
//
// Between two reports, the frames missing (fewer written than time passed) went where the
// server's writing stood still. Its room for a recorder that does not read is limited: it
// writes on from the earlier report until the room is full and drops what comes then, so the
// missing frames follow what it wrote. After a report that stood still it wrote on from
// there, so those frames are placed back from the next report; so are the frames after a
// gap the server reported (a suspended sink), which is at the start.
//
// A report costs a round trip to the server, so frames written after the latest one are
// placed on from it at the pace of time while that holds: the report is recent (the clocks
// have not drifted apart), the writing did not stand still before it, no gap was said since,
// and the frames are read as they come (a server drops nothing until its room of seconds is
// full). Otherwise the reader asks again.

#include <chrono>
#include <cstdint>

namespace platform::pulse {

class WritePositions {
public:
    using Clock = std::chrono::steady_clock;

    // Fewer frames than this written between two reports, against the time that passed, are
    // frames the server dropped rather than the steps it writes in.
    static constexpr std::chrono::milliseconds STILL{20};
    // Frames after the latest report are placed on from it for this long after it,
    static constexpr std::chrono::seconds FRESH{2};
    // and while they are read no later than this after they were recorded.
    static constexpr std::chrono::milliseconds LATE{60};

    explicit WritePositions(std::uint32_t rate) : rate_(rate) {}

    // The server said that data went missing; the next report tells where.
    void note_gap() { gap_ = true; }

    // The server had written `index` frames by `at`. A report that goes back is ignored.
    void report(std::int64_t index, Clock::time_point at) {
        Position next{index, at, false, gap_};
        if (reports_ > 0) {
            if (index < latest_.index || at < latest_.at) return;
            const double passed = std::chrono::duration<double>(at - latest_.at).count();
            const auto missing = passed * rate_ - static_cast<double>(index - latest_.index);
            next.stood_still = missing > rate_ * std::chrono::duration<double>(STILL).count();
        }
        earlier_ = latest_;
        latest_ = next;
        reports_ = reports_ < 2 ? reports_ + 1 : 2;
        gap_ = false;
    }

    // Whether the frames before `index`, read at `now`, can be placed: reported, or
    // following the latest report as above.
    bool places(std::int64_t index, Clock::time_point now) const {
        if (reports_ == 0) return false;
        if (index <= latest_.index) return true;
        return !gap_ && !latest_.stood_still && now - latest_.at <= FRESH &&
               latest_.at + span(index - latest_.index) >= now - LATE;
    }

    // When the frame at `index` (one that `places`) was recorded.
    Clock::time_point recorded_at(std::int64_t index) const {
        if (index > latest_.index) return latest_.at + span(index - latest_.index);
        if (reports_ > 1 && !earlier_.stood_still && !latest_.gap_before) {
            return earlier_.at + span(index - earlier_.index);
        }
        return latest_.at - span(latest_.index - index);
    }

    // A new stream counts from 0.
    void reset() {
        reports_ = 0;
        gap_ = false;
    }

private:
    Clock::duration span(std::int64_t frames) const {
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(frames) / rate_));
    }

    struct Position {
        std::int64_t index = 0;
        Clock::time_point at{};
        bool stood_still = false;  // fewer frames since the report before than time passed
        bool gap_before = false;   // the server said data went missing since that report
    };

    std::uint32_t rate_;
    int reports_ = 0;   // 0, 1, or 2 for two or more
    bool gap_ = false;  // said since the latest report
    Position earlier_;
    Position latest_;
};

}  // namespace platform::pulse
