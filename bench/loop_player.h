#pragma once

// The music under every run: a fixed file fed to pacat over and over through a pipe, so
// the sink never runs dry between two plays. The player's buffer decides how far ahead the
// null sink renders, and with it how long a new recording waits for the monitor's first
// data: up to about 2 s with pacat's default.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"

namespace bench {

class LoopPlayer {
public:
    // Plays `file` (48 kHz stereo float) into `sink`; `latency_ms` 0 is pacat's default.
    static std::optional<std::string> start(LoopPlayer& player, const std::string& file,
                                            const std::string& sink,
                                            const std::vector<std::string>& env,
                                            const std::string& log, int latency_ms);

    LoopPlayer() = default;
    LoopPlayer(const LoopPlayer&) = delete;
    LoopPlayer& operator=(const LoopPlayer&) = delete;
    ~LoopPlayer() { stop(); }

    bool playing() { return !stopped_.load() && pacat_.pid() > 0 && !ended_.load(); }
    std::uint64_t loops() const { return loops_.load(); }

    void stop();

private:
    void feed(const std::string& file);

    test_support::ChildProcess pacat_;
    test_support::Pipe pipe_;
    std::thread feeder_;
    std::atomic<bool> stopped_{false};
    std::atomic<bool> ended_{false};
    std::atomic<std::uint64_t> loops_{0};
};

}  // namespace bench
