#include "tests/e2e/server_events.h"

#include <cerrno>
#include <stdexcept>
#include <utility>

#include <unistd.h>

namespace e2e {

ServerEvents::ServerEvents(const std::vector<std::string>& env) {
    auto pipe = test_support::Pipe::make();
    if (!pipe) throw std::runtime_error(pipe.error());
    // It complains on standard error when the server goes; the tests see that otherwise.
    pactl_ = test_support::ChildProcess::start({"pactl", "subscribe"}, env,
                                               {.stdout_fd = pipe->write_fd});
    pipe->close_write();
    fd_ = std::exchange(pipe->read_fd, -1);
    reader_ = std::jthread([this] { read_lines(); });
}

ServerEvents::~ServerEvents() {
    pactl_.kill_now();
    // The pipe reports end of file once pactl is gone; then the reader leaves.
    reader_.join();
    ::close(fd_);
}

void ServerEvents::read_lines() {
    std::string pending;
    char buffer[1024];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const auto now = Clock::now();
        pending.append(buffer, static_cast<std::size_t>(n));
        std::lock_guard lock(mutex_);
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            lines_.push_back({now, pending.substr(0, end)});
            pending.erase(0, end + 1);
        }
        arrived_.notify_all();
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    arrived_.notify_all();
}

std::optional<Clock::time_point> ServerEvents::wait_for(const std::string& text,
                                                        std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    std::optional<Clock::time_point> found;
    arrived_.wait_for(lock, limit, [&] {
        for (const Line& line : lines_) {
            if (line.text.find(text) != std::string::npos) {
                found = line.at;
                return true;
            }
        }
        return ended_;
    });
    return found;
}

std::string ServerEvents::transcript() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const Line& line : lines_) text += line.text + "\n";
    return text;
}

}  // namespace e2e
