#include "tests/e2e/server_events.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string_view>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

std::string find_program(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    while (!dirs.empty()) {
        const auto colon = dirs.find(':');
        const std::filesystem::path candidate =
            std::filesystem::path(dirs.substr(0, colon)) / program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
        dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
    }
    return program;
}

ServerEvents::ServerEvents(const std::vector<std::string>& env) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    // It complains on standard error when the server goes; the tests see that otherwise.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string pactl = find_program("pactl");
    std::vector<char*> argv = {const_cast<char*>(pactl.c_str()),
                               const_cast<char*>("subscribe"), nullptr};
    std::vector<char*> envp;
    for (const auto& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    fd_ = out[0];
    if (rc != 0) {
        ::close(fd_);
        throw std::runtime_error("cannot start pactl subscribe");
    }
    reader_ = std::jthread([this] { read_lines(); });
}

ServerEvents::~ServerEvents() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
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
