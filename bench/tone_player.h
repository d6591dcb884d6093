#pragma once

// A player for the fidelity runs that knows when what it plays is heard. It writes its
// PCM into the sink through libpulse in 10 ms pieces from a thread of its own; after each
// write the stream's latency (what is queued in the server plus the sink's own latency)
// says when the last frame written will be heard, and so when frame 0 was: the stream's
// origin on the steady clock. Frame n is heard at origin + n / rate for as long as the
// stream does not run dry, which it does not while the thread keeps it filled.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct pa_simple;

namespace bench {

class TonePlayer {
public:
    using Clock = std::chrono::steady_clock;

    // Connects to `server` (no autospawn: the server is named) and plays `pcm`, 48 kHz
    // stereo float, into `sink` (empty: the default output, following it where the server
    // moves such streams), then silence until stop(). `buffer_ms` is the stream's
    // buffer (0: libpulse's default, as pacat's), so that the sink is asked for the same
    // latency as by the music player.
    static std::optional<std::string> start(TonePlayer& player, const std::string& server,
                                            const std::string& sink, std::vector<float> pcm,
                                            int buffer_ms);

    TonePlayer() = default;
    TonePlayer(const TonePlayer&) = delete;
    TonePlayer& operator=(const TonePlayer&) = delete;
    ~TonePlayer() { stop(); }

    // When frame 0 is heard: the median of the estimates taken once the stream had been
    // playing for a while; nothing before there are enough of them.
    std::optional<Clock::time_point> origin() const;
    // Waits (bounded) for origin().
    std::optional<Clock::time_point> wait_origin(std::chrono::milliseconds limit) const;
    std::optional<std::string> failure() const;
    // Moves the writing thread to SCHED_FIFO at `priority`, so that a busy machine does not
    // make it run dry; false where that is not allowed.
    bool make_realtime(int priority);
    void stop();

private:
    void run(Clock::time_point connected);

    pa_simple* stream_ = nullptr;
    std::vector<float> pcm_;
    std::thread thread_;
    std::atomic<bool> stopped_{false};
    mutable std::mutex mutex_;
    std::vector<double> origins_;  // seconds since the clock's epoch
    std::optional<std::string> failure_;
};

}  // namespace bench
