#include "tests/faults/helper_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace faults {

namespace {

std::vector<char*> c_strings(const std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (const auto& s : strings) result.push_back(const_cast<char*>(s.c_str()));
    result.push_back(nullptr);
    return result;
}

// The "SigCgt" mask of a process: the signals it has handlers for.
unsigned long long caught_signals(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    }
    return 0;
}

}  // namespace

HelperProcess::HelperProcess(const std::vector<std::string>& argv,
                             const std::vector<std::string>& env, Stdout stdout_mode,
                             bool block_stop_signals) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdout_mode == Stdout::Closed) {
        posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    }
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t blocked, all;
    sigemptyset(&blocked);
    if (block_stop_signals) {
        sigaddset(&blocked, SIGINT);
        sigaddset(&blocked, SIGTERM);
    }
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &blocked);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    auto args = c_strings(argv);
    auto envp = c_strings(env);
    const int rc = posix_spawn(&pid_, args[0], &actions, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(out[1]);
    close(err[1]);
    if (stdout_mode == Stdout::Pipe) {
        out_fd_ = out[0];
    } else {
        // The parent is not listening: a write to the pipe now fails with EPIPE.
        close(out[0]);
    }
    err_fd_ = err[0];
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("posix_spawn failed");
    }
}

HelperProcess::~HelperProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
}

bool HelperProcess::running() const {
    if (pid_ <= 0) return false;
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

void HelperProcess::send(int signal_number) const {
    if (pid_ > 0) kill(pid_, signal_number);
}

bool HelperProcess::stop_handlers_installed() const {
    const unsigned long long mask = caught_signals(pid_);
    const auto bit = [](int signal_number) { return 1ULL << (signal_number - 1); };
    return (mask & bit(SIGINT)) != 0 && (mask & bit(SIGTERM)) != 0;
}

bool HelperProcess::wait_for_stop_handlers(std::chrono::milliseconds limit) const {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (!stop_handlers_installed()) {
        if (!running() || std::chrono::steady_clock::now() >= give_up) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

Outcome HelperProcess::finish(std::chrono::milliseconds limit) {
    Outcome outcome;
    const auto give_up = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    int open_streams = (out_fd_ >= 0) + (err_fd_ >= 0);
    // Pipes close when the helper ends, unless something it started keeps them: then its
    // exit is what counts.
    while (open_streams > 0 && running()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            give_up - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            outcome.hung = true;
            kill(pid_, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 50))) < 0 &&
            errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open_streams;
            }
        }
    }
    while (running()) {
        if (std::chrono::steady_clock::now() >= give_up) {
            outcome.hung = true;
            kill(pid_, SIGKILL);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    int status = 0;
    rusage usage{};
    wait4(pid_, &status, 0, &usage);
    pid_ = -1;
    // Whatever was still in the pipes.
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0) continue;
        fcntl(fds[i].fd, F_SETFL, O_NONBLOCK);
        char buf[4096];
        for (ssize_t n; (n = read(fds[i].fd, buf, sizeof buf)) > 0;) {
            sinks[i]->append(buf, static_cast<std::size_t>(n));
        }
    }
    if (WIFEXITED(status)) outcome.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.term_signal = WTERMSIG(status);
    outcome.max_rss_kib = usage.ru_maxrss;
    return outcome;
}

std::string check_clean_end(const Outcome& outcome, int status) {
    std::string problems;
    if (outcome.hung) problems += "did not end in time; ";
    if (outcome.term_signal != 0) {
        problems += "killed by signal " + std::to_string(outcome.term_signal) + "; ";
    }
    if (outcome.exit_status != status) {
        problems += "exit status " + std::to_string(outcome.exit_status) + "; ";
    }
    for (const char* report : {"Sanitizer", "runtime error:", "terminate called"}) {
        if (outcome.err.find(report) != std::string::npos) problems += std::string(report) + " on stderr; ";
    }
    const bool one_line = outcome.out.ends_with('\n') && outcome.out.find('\n') == outcome.out.size() - 1;
    const bool unavailable = outcome.out.starts_with("UNAVAILABLE ") && outcome.out.size() > 13;
    if (!one_line || (!unavailable && ok_seconds(outcome.out) < 0)) {
        problems += "not one status line; ";
    }
    if (!problems.empty()) {
        problems += "stdout [" + outcome.out + "] stderr [" + outcome.err + "]";
    }
    return problems;
}

double ok_seconds(const std::string& out) {
    // "OK ", digits, optionally a point and more digits, one newline: nothing else.
    if (!out.starts_with("OK ") || !out.ends_with('\n')) return -1.0;
    const std::string_view number(out.data() + 3, out.size() - 4);
    const auto point = number.find('.');
    const std::string_view whole = number.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? "0" : number.substr(point + 1);
    const auto digits = [](std::string_view text) {
        return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!digits(whole) || !digits(fraction)) return -1.0;
    return std::strtod(std::string(number).c_str(), nullptr);
}

}  // namespace faults
