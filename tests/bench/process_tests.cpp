// The process runner that turns each recorder into a status, CPU seconds and peak memory:
// its children start as the program asked for with a clean environment and default signal
// handling, end within their limits, and report through the measuring launcher only what
// the command itself used.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <unistd.h>

#include "tests/support/child_process.h"
#include "tests/support/ogg_reading.h"

#ifndef MEASURED_LAUNCH
#error "MEASURED_LAUNCH must name the measured_launch executable"
#endif

namespace {

using namespace std::chrono_literals;
using test_support::ChildProcess;
using test_support::Outcome;
using test_support::Output;
using test_support::Pipe;
using test_support::PIPED;
using test_support::SpawnOptions;
using test_support::Usage;

std::vector<std::string> minimal_env() {
    const char* path = std::getenv("PATH");
    return {std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin")};
}

TEST(ProcessTest, ReportsExitStatusSignalsAndCpu) {
    auto exits = ChildProcess::spawn({"sh", "-c", "exit 3"}, minimal_env());
    ASSERT_TRUE(exits.has_value()) << exits.error();
    EXPECT_EQ(exits->wait().status, 3);
    EXPECT_EQ(exits->wait().status, 3);  // a second wait gives the same figures

    auto missing = ChildProcess::spawn({"vmah-no-such-program"}, minimal_env());
    ASSERT_TRUE(missing.has_value());
    EXPECT_EQ(missing->wait().status, 127);

    auto sleeper = ChildProcess::spawn({"sleep", "30"}, minimal_env());
    ASSERT_TRUE(sleeper.has_value());
    EXPECT_TRUE(sleeper->signal(SIGTERM));
    EXPECT_EQ(sleeper->wait_at_most(10s).status, 128 + SIGTERM);
    EXPECT_FALSE(sleeper->signal(SIGTERM));  // reaped: nothing left to signal

    auto burner = ChildProcess::spawn(
        {"sh", "-c", "i=0; while [ $i -lt 300000 ]; do i=$((i+1)); done"}, minimal_env());
    ASSERT_TRUE(burner.has_value());
    const Usage used = burner->wait();
    EXPECT_EQ(used.status, 0);
    EXPECT_GT(used.cpu_seconds, 0.05);
    EXPECT_GT(used.max_rss_kib, 0);
}

TEST(ProcessTest, EndsWhatOutlivesItsLimitOrItsOwner) {
    auto stuck = ChildProcess::spawn({"sleep", "30"}, minimal_env());
    ASSERT_TRUE(stuck.has_value());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(stuck->wait_at_most(50ms).status, 128 + SIGKILL);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    pid_t pid = -1;
    {
        auto dropped = ChildProcess::spawn({"sleep", "30"}, minimal_env());
        ASSERT_TRUE(dropped.has_value());
        pid = dropped->pid();
    }
    // Killed and reaped by the destructor: the pid no longer names a process of ours.
    errno = 0;
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(ProcessTest, ChildSeesOnlyTheGivenEnvironmentAndStreams) {
    ASSERT_EQ(::setenv("VMAH_BENCH_TEST_LEAK", "leaked", 1), 0);
    auto pipe = Pipe::make();
    ASSERT_TRUE(pipe.has_value());
    std::vector<std::string> env = minimal_env();
    env.push_back("VMAH_BENCH_TEST_GIVEN=given");
    auto child = ChildProcess::spawn(
        {"sh", "-c", "printf '%s|%s' \"$VMAH_BENCH_TEST_GIVEN\" \"$VMAH_BENCH_TEST_LEAK\""}, env,
        SpawnOptions{.stdout_fd = pipe->write_fd});
    ::unsetenv("VMAH_BENCH_TEST_LEAK");
    ASSERT_TRUE(child.has_value());
    pipe->close_write();
    std::string out;
    char buffer[64];
    ssize_t n;
    while ((n = ::read(pipe->read_fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(child->wait().status, 0);
    EXPECT_EQ(out, "given|");
}

// A child forked from a large process reports that process's peak as its own; through the
// launcher it reports only what the command itself used.
TEST(ProcessTest, LauncherReportsTheCommandsOwnPeakMemory) {
    constexpr std::size_t BALLAST = 192u << 20;
    std::vector<char> ballast(BALLAST);
    for (std::size_t i = 0; i < ballast.size(); i += 4096) ballast[i] = static_cast<char>(i);

    auto direct = ChildProcess::spawn({"true"}, minimal_env());
    ASSERT_TRUE(direct.has_value());
    const Usage inflated = direct->wait();
    EXPECT_GE(inflated.max_rss_kib, static_cast<long>(BALLAST / 1024));

    auto launched =
        ChildProcess::spawn({"true"}, minimal_env(), SpawnOptions{.launcher = MEASURED_LAUNCH});
    ASSERT_TRUE(launched.has_value()) << launched.error();
    const Usage own = launched->wait();
    EXPECT_EQ(own.status, 0);
    EXPECT_GT(own.max_rss_kib, 0);
    EXPECT_LT(own.max_rss_kib, 32 * 1024);
    EXPECT_EQ(ballast[4096], static_cast<char>(4096));
}

// Through the launcher, pid() and signal() reach the command and its status comes back.
TEST(ProcessTest, LauncherForwardsTheCommandsPidStatusAndCpu) {
    const std::vector<std::string> env = minimal_env();
    const SpawnOptions launched{.launcher = MEASURED_LAUNCH};

    auto exits = ChildProcess::spawn({"sh", "-c", "exit 7"}, env, launched);
    ASSERT_TRUE(exits.has_value()) << exits.error();
    EXPECT_EQ(exits->wait().status, 7);

    // spawn() returns once the launcher has seen the exec happen, so the pid names the
    // command itself, never the launcher's copy of itself before the exec.
    auto sleeper = ChildProcess::spawn({"sleep", "30"}, env, launched);
    ASSERT_TRUE(sleeper.has_value());
    const std::string comm = "/proc/" + std::to_string(sleeper->pid()) + "/comm";
    std::ifstream in(comm);
    std::string name;
    std::getline(in, name);
    EXPECT_EQ(name, "sleep");
    EXPECT_TRUE(sleeper->signal(SIGINT));
    EXPECT_EQ(sleeper->wait_at_most(10s).status, 128 + SIGINT);

    auto stuck = ChildProcess::spawn({"sleep", "30"}, env, launched);
    ASSERT_TRUE(stuck.has_value());
    EXPECT_EQ(stuck->wait_at_most(50ms).status, 128 + SIGKILL);

    auto burner = ChildProcess::spawn(
        {"sh", "-c", "i=0; while [ $i -lt 300000 ]; do i=$((i+1)); done"}, env, launched);
    ASSERT_TRUE(burner.has_value());
    EXPECT_GT(burner->wait().cpu_seconds, 0.05);

    auto missing = ChildProcess::spawn({"vmah-no-such-program"}, env, launched);
    ASSERT_TRUE(missing.has_value());
    EXPECT_EQ(missing->wait().status, 127);
}

// finish() collects what the child wrote to its piped streams and how it ended, and ends
// it at the limit; the child's own end counts even while something it started keeps the
// pipes open.
TEST(ProcessTest, FinishCollectsPipedStreamsAndHowTheChildEnded) {
    const std::vector<std::string> env = minimal_env();
    Outcome outcome =
        ChildProcess::start({"sh", "-c", "printf out; printf err >&2; exit 5"}, env, PIPED)
            .finish(10s);
    EXPECT_EQ(outcome.out, "out");
    EXPECT_EQ(outcome.err, "err");
    EXPECT_EQ(outcome.exit_status, 5);
    EXPECT_EQ(outcome.term_signal, 0);
    EXPECT_FALSE(outcome.hung);

    outcome = ChildProcess::start({"sh", "-c", "kill -TERM $$"}, env, PIPED).finish(10s);
    EXPECT_EQ(outcome.exit_status, -1);
    EXPECT_EQ(outcome.term_signal, SIGTERM);

    const auto start = std::chrono::steady_clock::now();
    outcome = ChildProcess::start({"sh", "-c", "sleep 3 & echo started"}, env, PIPED).finish(10s);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s)
        << "waited for the pipes, not the child";
    EXPECT_EQ(outcome.out, "started\n");
    EXPECT_EQ(outcome.exit_status, 0);

    outcome = ChildProcess::start({"sleep", "30"}, env, PIPED).finish(100ms);
    EXPECT_TRUE(outcome.hung);
    EXPECT_EQ(outcome.term_signal, SIGKILL);

    outcome = ChildProcess::start({"vmah-no-such-program"}, env, PIPED).finish(10s);
    EXPECT_EQ(outcome.exit_status, 127);
    EXPECT_TRUE(outcome.err.starts_with("cannot run vmah-no-such-program")) << outcome.err;
}

// Standard output nobody reads, or none at all; both streams appended to a log.
TEST(ProcessTest, OutputGoesWhereItIsSent) {
    const std::vector<std::string> env = minimal_env();
    // Default SIGPIPE handling: a write that nobody can read ends the child.
    Outcome outcome =
        ChildProcess::start({"sh", "-c", "echo lost"}, env,
                            {.stdout_to = Output::ReaderGone, .stderr_to = Output::Pipe})
            .finish(10s);
    EXPECT_EQ(outcome.term_signal, SIGPIPE);
    outcome = ChildProcess::start(
                  {"sh", "-c", "[ -e /proc/$$/fd/1 ] && echo open >&2 || echo closed >&2"}, env,
                  {.stdout_to = Output::Closed, .stderr_to = Output::Pipe})
                  .finish(10s);
    EXPECT_EQ(outcome.err, "closed\n");

    const test_support::TempDir dir;
    const std::string log = dir.file("child.log");
    std::ofstream(log) << "before\n";
    EXPECT_EQ(ChildProcess::start({"sh", "-c", "echo out; echo err >&2"}, env, {.log_path = log})
                  .wait()
                  .status,
              0);
    std::ifstream in(log);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "before\nout\nerr\n");
}

// The value of a signal mask line ("SigBlk", "SigIgn", ...) of a /proc/<pid>/status text.
unsigned long long signal_mask(const std::string& status, const std::string& field) {
    const auto at = status.find(field + ":\t");
    if (at == std::string::npos) return ~0ULL;
    return std::stoull(status.substr(at + field.size() + 2), nullptr, 16);
}

// Whatever this process ignores or blocks, the child starts with default dispositions and
// nothing blocked; or with only the stop signals blocked when asked.
TEST(ProcessTest, ChildStartsWithDefaultSignalHandling) {
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGINT, &ignore, &previous), 0);
    sigset_t usr1;
    sigset_t old_mask;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &usr1, &old_mask), 0);
    const std::vector<std::string> cat = {"cat", "/proc/self/status"};
    const Outcome plain = ChildProcess::start(cat, minimal_env(), PIPED).finish(10s);
    const Outcome blocked =
        ChildProcess::start(
            cat, minimal_env(),
            {.stdout_to = Output::Pipe, .stderr_to = Output::Pipe, .block_stop_signals = true})
            .finish(10s);
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    ::sigaction(SIGINT, &previous, nullptr);

    const auto bit = [](int signal_number) { return 1ULL << (signal_number - 1); };
    EXPECT_EQ(signal_mask(plain.out, "SigIgn"), 0u) << plain.out;
    EXPECT_EQ(signal_mask(plain.out, "SigBlk"), 0u) << plain.out;
    EXPECT_EQ(signal_mask(blocked.out, "SigBlk"), bit(SIGHUP) | bit(SIGINT) | bit(SIGTERM))
        << blocked.out;
}

// spawn() returns once the child runs the program; a program that catches both stop
// signals is seen to; bounded waits and ends; a child dies with the thread that started it.
TEST(ProcessTest, ChildIsTheProgramUntilItEndsOrItsThreadDoes) {
    const std::vector<std::string> env = minimal_env();
    auto plain = ChildProcess::start({"sleep", "30"}, env);
    std::ifstream comm("/proc/" + std::to_string(plain.pid()) + "/comm");
    std::string name;
    std::getline(comm, name);
    EXPECT_EQ(name, "sleep");
    EXPECT_FALSE(plain.wait_for_stop_handlers(100ms));

    auto trapping = ChildProcess::start(
        {"sh", "-c", "trap 'exit 0' INT TERM; while :; do sleep 0.05; done"}, env);
    EXPECT_TRUE(trapping.wait_for_stop_handlers(10s));
    EXPECT_TRUE(trapping.signal(SIGTERM));
    EXPECT_EQ(trapping.wait_at_most(10s).status, 0);

    // Waiting is not ending: the child runs on after a bounded wait. A child that ignores
    // SIGTERM is killed once the grace is over.
    auto ignoring = ChildProcess::start({"sh", "-c", "trap '' TERM; exec sleep 30"}, env);
    EXPECT_FALSE(ignoring.wait_for(50ms).has_value());
    EXPECT_TRUE(ignoring.running());
    const auto terminating = std::chrono::steady_clock::now();
    ignoring.terminate(200ms);
    EXPECT_LT(std::chrono::steady_clock::now() - terminating, 5s);
    EXPECT_FALSE(ignoring.running());
    EXPECT_EQ(ignoring.wait().status, 128 + SIGKILL);

    ChildProcess orphan;
    std::thread([&] { orphan = ChildProcess::start({"sleep", "30"}, env); }).join();
    const auto ended = orphan.wait_for(10s);
    ASSERT_TRUE(ended.has_value()) << "outlived the thread that started it";
    EXPECT_EQ(ended->status, 128 + SIGKILL);
}

}  // namespace
