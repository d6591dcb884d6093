#pragma once

// What happens on a sound server, as `pactl subscribe` reports it, with the moment each line
// arrived. Tests use it to see when the helper's record stream comes and goes.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"

namespace e2e {

using Clock = std::chrono::steady_clock;

class ServerEvents {
public:
    // Starts `pactl subscribe` with `env` (which names the server). Throws when it cannot.
    explicit ServerEvents(const std::vector<std::string>& env);
    ~ServerEvents();
    ServerEvents(const ServerEvents&) = delete;
    ServerEvents& operator=(const ServerEvents&) = delete;

    // When the first line containing `text` arrived, waiting up to `limit` for it.
    std::optional<Clock::time_point> wait_for(const std::string& text,
                                              std::chrono::milliseconds limit);
    // Every line so far, for failure messages.
    std::string transcript() const;

private:
    struct Line {
        Clock::time_point at;
        std::string text;
    };

    void read_lines();

    test_support::ChildProcess pactl_;
    int fd_ = -1;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Line> lines_;
    bool ended_ = false;
    std::jthread reader_;
};

}  // namespace e2e
