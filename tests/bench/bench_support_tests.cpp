// The pieces the end-to-end benchmark's figures rest on: the Ogg Opus reader that turns
// each recorder's file into a duration, the process runner that turns each recorder into
// CPU seconds and peak memory, the fixed test signal, the readings of the sound server's
// cost (/proc stat, the sink's latency from pactl) and the tone finder behind the
// fidelity figures.

#include <gtest/gtest.h>
#include <ogg/ogg.h>
#include <opusfile.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include "bench/music_signal.h"
#include "bench/process_footprint.h"
#include "bench/server_cost.h"
#include "bench/switch_gap.h"
#include "opus_ogg/opus_ogg_writer.h"
#include "tests/support/child_process.h"
#include "tests/support/decoded_audio.h"
#include "tests/support/ogg_reading.h"
#include "tests/support/tone_meter.h"

#ifndef MEASURED_LAUNCH
#error "MEASURED_LAUNCH must name the measured_launch executable"
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_support::ChildProcess;
using test_support::Outcome;
using test_support::Output;
using test_support::Pipe;
using test_support::PIPED;
using test_support::read_bytes;
using test_support::SpawnOptions;
using test_support::Usage;

std::vector<std::string> minimal_env() {
    const char* path = std::getenv("PATH");
    return {std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin")};
}

class OggOpusInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("vmah-bench-ogg-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // `frames` frames of a 440 Hz tone at `rate`, through the helper's own writer.
    fs::path record(std::uint32_t rate, std::size_t frames) {
        const fs::path path =
            dir_ / ("tone-" + std::to_string(rate) + "-" + std::to_string(frames) + ".opus");
        auto writer = opus_ogg::OpusOggWriter::create(path.string(), rate, 2);
        EXPECT_TRUE(writer.has_value());
        std::vector<std::int16_t> pcm(frames * 2);
        for (std::size_t i = 0; i < frames; ++i) {
            const auto v =
                static_cast<std::int16_t>(8000.0 * std::sin(0.0576 * static_cast<double>(i)));
            pcm[2 * i] = v;
            pcm[2 * i + 1] = v;
        }
        EXPECT_TRUE(writer->write_pcm_i16(pcm).has_value());
        EXPECT_TRUE(writer->finalize().has_value());
        return path;
    }

    fs::path dir_;
};

// The duration agrees with libopusfile's idea of the stream's length, and the header
// fields come out as written.
TEST_F(OggOpusInfoTest, AgreesWithAnIndependentReader) {
    for (const std::size_t frames : {std::size_t{48000}, std::size_t{100'000}, std::size_t{959}}) {
        const fs::path path = record(48000, frames);
        const auto info = test_support::read_ogg_opus(path.string());
        ASSERT_TRUE(info.has_value()) << frames;

        int error = 0;
        OggOpusFile* file = op_open_file(path.c_str(), &error);
        ASSERT_NE(file, nullptr) << error;
        const ogg_int64_t total = op_pcm_total(file, -1);
        const OpusHead* head = op_head(file, -1);
        ASSERT_NE(head, nullptr);
        EXPECT_EQ(info->pre_skip, head->pre_skip);
        EXPECT_EQ(info->input_rate, head->input_sample_rate);
        op_free(file);

        EXPECT_DOUBLE_EQ(info->duration_seconds() * 48000.0, static_cast<double>(total)) << frames;
        EXPECT_TRUE(info->ends_with_eos);
        EXPECT_EQ(info->bytes, fs::file_size(path));
        EXPECT_GE(info->pages, 3u);  // two header pages and at least one audio page
        EXPECT_NEAR(info->kbit_per_second(),
                    static_cast<double>(info->bytes) * 8.0 / info->duration_seconds() / 1000.0,
                    1e-9);
    }
    const auto resampled = test_support::read_ogg_opus(record(44100, 44100).string());
    ASSERT_TRUE(resampled.has_value());
    EXPECT_EQ(resampled->input_rate, 44100u);
}

TEST_F(OggOpusInfoTest, RejectsWhatIsNotOneWholeStream) {
    const std::vector<std::uint8_t> good = read_bytes(record(48000, 48000));
    ASSERT_TRUE(test_support::parse_ogg_opus(good).has_value());

    EXPECT_FALSE(test_support::parse_ogg_opus({}).has_value());
    // Cut inside the last page, inside a page header, and one byte short.
    for (const std::size_t cut : {good.size() - 1, good.size() - 100, std::size_t{20}}) {
        const std::vector<std::uint8_t> truncated(good.begin(),
                                                  good.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_FALSE(test_support::parse_ogg_opus(truncated).has_value()) << cut;
    }
    std::vector<std::uint8_t> bad_pattern = good;
    bad_pattern[0] = 'X';
    EXPECT_FALSE(test_support::parse_ogg_opus(bad_pattern).has_value());

    std::vector<std::uint8_t> not_opus = good;
    const std::size_t body = 27 + not_opus[26];
    std::memcpy(not_opus.data() + body, "OpusTags", 8);
    EXPECT_FALSE(test_support::parse_ogg_opus(not_opus).has_value());

    std::vector<std::uint8_t> trailing = good;
    trailing.push_back('O');
    EXPECT_FALSE(test_support::parse_ogg_opus(trailing).has_value());
}

// A stream whose last page lacks the end-of-stream flag (a recorder killed mid-file) is
// read, but says so.
TEST_F(OggOpusInfoTest, ReportsAMissingEndOfStream) {
    std::vector<std::uint8_t> bytes = read_bytes(record(48000, 48000));
    std::size_t last = 0;
    for (std::size_t at = 0; at + 4 <= bytes.size(); ++at) {
        if (std::memcmp(bytes.data() + at, "OggS", 4) == 0) last = at;
    }
    ASSERT_NE(bytes[last + 5] & 0x04, 0);
    bytes[last + 5] &= static_cast<std::uint8_t>(~0x04);
    // With its checksum made good again, as a recorder that never set the flag writes it.
    ogg_page page{};
    page.header = bytes.data() + last;
    page.header_len = 27 + bytes[last + 26];
    page.body = bytes.data() + last + page.header_len;
    page.body_len = static_cast<long>(bytes.size() - last) - page.header_len;
    ogg_page_checksum_set(&page);
    const auto info = test_support::parse_ogg_opus(bytes);
    ASSERT_TRUE(info.has_value());
    EXPECT_FALSE(info->ends_with_eos);
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

TEST(MusicSignalTest, IsFixedBoundedAndAudible) {
    const auto a = bench::music_like_stereo(48000, 2);
    const auto b = bench::music_like_stereo(48000, 2);
    const auto other = bench::music_like_stereo(48000, 2, 99);
    ASSERT_EQ(a.size(), 48000u * 2 * 2);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, other);

    double energy = 0;
    double left_right_difference = 0;
    for (std::size_t i = 0; i < a.size(); i += 2) {
        ASSERT_LE(std::abs(a[i]), 1.0f);
        ASSERT_LE(std::abs(a[i + 1]), 1.0f);
        energy += a[i] * a[i] + a[i + 1] * a[i + 1];
        left_right_difference += std::abs(a[i] - a[i + 1]);
    }
    const double rms = std::sqrt(energy / static_cast<double>(a.size()));
    EXPECT_GT(rms, 0.01);
    EXPECT_LT(rms, 0.5);
    EXPECT_GT(left_right_difference, 0.0);  // panned: the two channels differ
}

// A /proc/<pid>/stat line as the kernel writes it, with `name` and the given utime/stime.
std::string stat_line(const std::string& name, unsigned long long utime, unsigned long long stime) {
    return "4242 (" + name + ") S 1 4242 4242 0 -1 4194560 1500 0 2 0 " + std::to_string(utime) +
           " " + std::to_string(stime) +
           " 0 0 20 0 3 0 123456 104857600 2500 18446744073709551615 1 1 0 0 0 0 0 " +
           "4096 0 0 0 0 17 1 0 0 0 0 0\n";
}

TEST(ServerCostTest, ReadsUserAndSystemTicksPastAnyCommandName) {
    EXPECT_EQ(bench::parse_stat_cpu_ticks(stat_line("pulseaudio", 1234, 567)), 1801u);
    // The name may hold spaces and parentheses: only the last ')' ends it.
    EXPECT_EQ(bench::parse_stat_cpu_ticks(stat_line("a) R 1 2 (b", 10, 5)), 15u);
    EXPECT_EQ(bench::parse_stat_cpu_ticks(stat_line("x y", 0, 0)), 0u);
    EXPECT_EQ(bench::parse_stat_cpu_ticks(stat_line("big", 1ull << 40, 1)), (1ull << 40) + 1);

    EXPECT_FALSE(bench::parse_stat_cpu_ticks("").has_value());
    EXPECT_FALSE(bench::parse_stat_cpu_ticks("4242 pulseaudio S 1 2 3").has_value());  // no name
    EXPECT_FALSE(
        bench::parse_stat_cpu_ticks("4242 (pulseaudio) S 1 4242 4242 0 -1 4194560").has_value());
    std::string garbled = stat_line("pulseaudio", 1234, 567);
    garbled.replace(garbled.find(" 1234 "), 6, " 12x4 ");
    EXPECT_FALSE(bench::parse_stat_cpu_ticks(garbled).has_value());
}

TEST(ServerCostTest, ReadsAProcessesCpuAsTheKernelCountsIt) {
    const auto before = bench::process_cpu_seconds(::getpid());
    ASSERT_TRUE(before.has_value());
    // Burn about 0.3 s of CPU in this thread, counted by the process's own clock too.
    timespec start{}, now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
    volatile double sink = 0;
    do {
        for (int i = 0; i < 100000; ++i) sink = sink + std::sqrt(static_cast<double>(i));
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    } while (static_cast<double>(now.tv_sec - start.tv_sec) +
                 static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9 <
             0.3);
    const auto after = bench::process_cpu_seconds(::getpid());
    ASSERT_TRUE(after.has_value());
    // Clock ticks are 10 ms; allow a few of them either way.
    EXPECT_NEAR(*after - *before, 0.3, 0.05);

    auto ended = ChildProcess::spawn({"true"}, minimal_env());
    ASSERT_TRUE(ended.has_value());
    const pid_t gone = ended->pid();
    ended->wait();
    EXPECT_FALSE(bench::process_cpu_seconds(gone).has_value());
}

TEST(ServerCostTest, ExtraIsWhatTheIdleRateDoesNotAccountFor) {
    // 0.1 s in 5 s idle is 0.02 s per s: 0.2 s of a 10 s window was the server anyway.
    EXPECT_DOUBLE_EQ(bench::server_extra_seconds(0.5, 10.0, 0.1, 5.0), 0.3);
    EXPECT_DOUBLE_EQ(bench::server_extra_seconds(0.5, 20.0, 0.1, 5.0), 0.1);
    EXPECT_DOUBLE_EQ(bench::server_extra_seconds(0.5, 10.0, 0.0, 5.0), 0.5);
    EXPECT_LT(bench::server_extra_seconds(0.05, 10.0, 0.1, 5.0), 0.0);  // within the ticks' blur
    EXPECT_DOUBLE_EQ(bench::server_extra_seconds(0.5, 10.0, 0.1, 0.0), 0.5);  // no idle window
}

// As pactl 16 prints it, two sinks, the one asked for second.
constexpr const char* PACTL_SINKS =
    "Sink #0\n"
    "\tState: SUSPENDED\n"
    "\tName: other\n"
    "\tDescription: Other\n"
    "\tLatency: 0 usec, configured 0 usec\n"
    "\tFlags: DECIBEL_VOLUME LATENCY\n"
    "Sink #1\n"
    "\tState: RUNNING\n"
    "\tName: testsink\n"
    "\tDescription: Null Output\n"
    "\tDriver: module-null-sink.c\n"
    "\tOwner Module: 1\n"
    "\tMonitor Source: testsink.monitor\n"
    "\tLatency: 9876 usec, configured 10000 usec\n"
    "\tFlags: DECIBEL_VOLUME LATENCY SET_FORMATS\n"
    "\tProperties:\n"
    "\t\tdevice.description = \"Null Output\"\n";

TEST(FootprintTest, ReadsCallgrindTotalsAndOneFunctionsInclusiveCount) {
    EXPECT_EQ(bench::parse_callgrind_total("events: Ir\nsummary: 1234\ntotals: 987654321\n"),
              987654321u);
    EXPECT_EQ(bench::parse_callgrind_total("events: Ir\nsummary: 1234\n"), 1234u);
    EXPECT_FALSE(bench::parse_callgrind_total("events: Ir\ntotals: none\n").has_value());
    const std::string annotate =
        "625,906,275 (100.0%)  PROGRAM TOTALS\n"
        "600,000,001 (95.86%)  ???:opus_encode_native [/usr/lib/libopus.so.0]\n"
        "597,616,552 (95.48%)  ???:opus_encode [/usr/lib/libopus.so.0]\n";
    EXPECT_EQ(bench::parse_inclusive_count(annotate, "opus_encode"), 597616552u);
    EXPECT_FALSE(bench::parse_inclusive_count(annotate, "opus_decode").has_value());
}

TEST(FootprintTest, SumsResidentMemoryPerFileAndAnonymousTogether) {
    const std::string smaps =
        "55a0-55b0 r--p 00000000 08:01 42 /usr/bin/my helper\nRss: 100 kB\nPss: 50 kB\n"
        "7f00-7f10 rw-p 00000000 00:00 0 \nRss: 30 kB\n"
        "55b0-55c0 r-xp 00001000 08:01 42 /usr/bin/my helper\nRss: 400 kB\n"
        "7f20-7f30 rw-p 00000000 00:00 0 [heap]\nRss: 20 kB\n"
        "7f40-7f50 r-xp 00000000 08:01 7 /usr/lib/libc.so.6\nRss: 200 kB\n";
    const auto files = bench::parse_smaps_by_file(smaps);
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].path, "/usr/bin/my helper");
    EXPECT_EQ(files[0].rss_kib, 500);
    EXPECT_EQ(files[1].path, "/usr/lib/libc.so.6");
    EXPECT_EQ(files[2].path, "");
    EXPECT_EQ(files[2].rss_kib, 50);
}

TEST(FootprintTest, ReadsThisProcesssThreadsAndPeakMemory) {
    std::thread sleeper([] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // one wake-up at least
    const auto threads = bench::thread_switches(::getpid());
    sleeper.join();
    ASSERT_GE(threads.size(), 2u);
    // Thread ids wrap around like process ids: the main thread need not come first.
    const auto main_thread = std::find_if(threads.begin(), threads.end(),
                                          [](const auto& t) { return t.tid == ::getpid(); });
    ASSERT_NE(main_thread, threads.end());
    EXPECT_GT(main_thread->voluntary, 0u);
    const auto peak = bench::peak_rss_kib(::getpid());
    ASSERT_TRUE(peak.has_value());
    EXPECT_GT(*peak, 100);
    // A process that is gone has neither.
    ChildProcess gone = ChildProcess::start({"true"}, {});
    const pid_t pid = gone.pid();
    gone.wait();
    EXPECT_TRUE(bench::thread_switches(pid).empty());
    EXPECT_FALSE(bench::peak_rss_kib(pid).has_value());
}

TEST(SinkLatencyTest, ReadsTheNamedSinksLatencyAndConfiguredLatency) {
    const auto found = bench::parse_sink_latency(PACTL_SINKS, "testsink");
    ASSERT_TRUE(found.has_value());
    EXPECT_DOUBLE_EQ(found->latency_ms, 9.876);
    EXPECT_DOUBLE_EQ(found->configured_ms, 10.0);
    const auto other = bench::parse_sink_latency(PACTL_SINKS, "other");
    ASSERT_TRUE(other.has_value());
    EXPECT_DOUBLE_EQ(other->configured_ms, 0.0);

    EXPECT_FALSE(
        bench::parse_sink_latency(PACTL_SINKS, "test").has_value());  // a prefix is not the name
    EXPECT_FALSE(bench::parse_sink_latency(PACTL_SINKS, "missing").has_value());
    EXPECT_FALSE(bench::parse_sink_latency("", "testsink").has_value());
    // The sink's block without its latency line: the next sink's line is not its own.
    std::string no_line =
        "Sink #1\n\tName: testsink\n\tState: IDLE\nSink #2\n\tName: x\n"
        "\tLatency: 5 usec, configured 6 usec\n";
    EXPECT_FALSE(bench::parse_sink_latency(no_line, "testsink").has_value());
    std::string garbled = PACTL_SINKS;
    garbled.replace(garbled.find("9876 usec, configured"), 21, "9876 usec configured ");
    EXPECT_FALSE(bench::parse_sink_latency(garbled, "testsink").has_value());
}

constexpr std::uint32_t TONE_RATE = 48000;

// Music with the test tone added over frames [from, from + length) of it.
std::vector<float> music_with_tone(std::size_t from, std::size_t length, double amplitude) {
    std::vector<float> pcm = bench::music_like_stereo(TONE_RATE, 3);
    const auto added = test_support::tone(test_support::TONE_HZ, amplitude,
                                          static_cast<double>(length) / TONE_RATE, TONE_RATE, 2);
    for (std::size_t i = 0; i < added.size(); ++i) pcm[from * 2 + i] += added[i];
    return pcm;
}

TEST(ToneSpanTest, ToneIsAsLongAsAskedWithShortFadesOnEveryChannel) {
    const auto pcm = test_support::tone(1000.0, 0.5, 0.25, TONE_RATE, 2);
    ASSERT_EQ(pcm.size(), 12000u * 2);
    float peak = 0;
    for (std::size_t i = 0; i < pcm.size(); i += 2) {
        ASSERT_EQ(pcm[i], pcm[i + 1]);
        peak = std::max(peak, std::abs(pcm[i]));
    }
    EXPECT_LE(peak, 0.5f);
    EXPECT_GT(peak, 0.49f);
    EXPECT_LT(std::abs(pcm[0]), 0.01f);      // faded in
    EXPECT_LT(std::abs(pcm.back()), 0.01f);  // and out
}

TEST(ToneSpanTest, LevelsMeasureOnlyTheTonesFrequency) {
    const auto five = test_support::tone(test_support::TONE_HZ, 0.3, 0.1, TONE_RATE, 2);
    const auto levels = test_support::tone_levels(five, 2, TONE_RATE, test_support::TONE_HZ, 48);
    ASSERT_EQ(levels.size(), 100u);
    for (std::size_t k = 2; k < 98; ++k) EXPECT_NEAR(levels[k], 0.3, 0.003) << k;
    // Away from the fades, which spread over every frequency, another frequency is not seen.
    const auto elsewhere = test_support::tone_levels(five, 2, TONE_RATE, 2000.0, 48);
    for (std::size_t k = 2; k < 98; ++k) EXPECT_LT(elsewhere[k], 0.001) << k;
    // On the mean of the channels, a tone that only one side plays counts half as loud.
    std::vector<float> one_side = five;
    for (std::size_t i = 1; i < one_side.size(); i += 2) one_side[i] = 0;
    EXPECT_NEAR(test_support::tone_levels(one_side, 2, TONE_RATE, test_support::TONE_HZ, 48)[50],
                0.15, 0.002);
    EXPECT_TRUE(test_support::tone_levels(five, 2, TONE_RATE, test_support::TONE_HZ, 0).empty());
}

TEST(ToneSpanTest, FindsTheTonesEdgesUnderMusicToAMillisecond) {
    for (const double amplitude :
         {test_support::TONE_AMPLITUDE, test_support::TONE_AMPLITUDE * 0.6}) {
        for (const std::size_t from : {std::size_t{24000}, std::size_t{24017}, std::size_t{0}}) {
            const std::size_t length = 48000;
            const auto pcm = music_with_tone(from, length, amplitude);
            const auto span = test_support::find_tone_span(pcm, 2, TONE_RATE, test_support::TONE_HZ,
                                                           test_support::TONE_AMPLITUDE / 4);
            ASSERT_TRUE(span.has_value()) << from;
            EXPECT_NEAR(static_cast<double>(span->first_frame), static_cast<double>(from), 48.0)
                << from;
            EXPECT_NEAR(static_cast<double>(span->end_frame), static_cast<double>(from + length),
                        48.0)
                << from;
            EXPECT_NEAR(span->level, amplitude, amplitude * 0.05);
        }
    }
    const auto music = bench::music_like_stereo(TONE_RATE, 3);
    EXPECT_FALSE(test_support::find_tone_span(music, 2, TONE_RATE, test_support::TONE_HZ,
                                              test_support::TONE_AMPLITUDE / 4)
                     .has_value());
}

TEST(SwitchGapTest, ToneIsPresentAtHalfItsSteadyLevelOrMore) {
    // Music alone (0.01) is below the floor and has no say in the steady level (0.19).
    const std::vector<double> levels = {0.01, 0.2, 0.21, 0.19, 0.09, 0.11, 0.0};
    EXPECT_EQ(bench::tone_present(levels, 0.05),
              (std::vector<bool>{false, true, true, true, false, true, false}));
    EXPECT_EQ(bench::tone_present(levels, 0.5), std::vector<bool>(levels.size(), false));
}

// A 6 s file of 1 ms windows holding the tone from 200 ms to 5800 ms, less the given gaps.
std::vector<bool> tone_with_gaps(std::initializer_list<std::pair<int, int>> gaps) {
    std::vector<bool> present(6000, false);
    for (int ms = 200; ms < 5800; ++ms) present[static_cast<std::size_t>(ms)] = true;
    for (const auto& [from, to] : gaps) {
        for (int ms = from; ms < to; ++ms) present[static_cast<std::size_t>(ms)] = false;
    }
    return present;
}

TEST(SwitchGapTest, CountsTheToneMissingAroundEachSwitchAndWhetherItCameBack) {
    const std::vector<double> switches = {1000, 2200, 3400, 4600};
    struct Case {
        const char* what;
        std::vector<bool> present;
        bool follows;
        std::vector<double> lost_ms;
        double dropped_ms = 0;
    };
    const Case cases[] = {
        {"a gap at each switch, one late in the file",
         tone_with_gaps({{1010, 1060}, {2200, 2230}, {3700, 3760}, {4590, 4600}}),
         true,
         {50, 30, 60, 10}},
        {"nothing lost", tone_with_gaps({}), true, {0, 0, 0, 0}},
        {"time dropped from the file", tone_with_gaps({{2200, 2230}}), true, {50, 80, 50, 50}, 200},
        {"less dropped than without switches", tone_with_gaps({}), true, {0, 0, 0, 0}, -80},
        // Silence before the tone's first window and after its last is the file's start
        // and stop, not a switch's.
        {"a late start", tone_with_gaps({{0, 700}}), true, {0, 0, 0, 0}},
        {"stays on the first sink",
         tone_with_gaps({{1020, 2210}, {3410, 4620}}),
         false,
         {580, 610, 590, 620}},
        // The file ends without the tone coming back: no sign that it followed.
        {"gone from the last switch on", tone_with_gaps({{4600, 5800}}), false, {0, 0, 0, 0}},
        {"no tone at all", std::vector<bool>(6000, false), false, {}},
    };
    for (const Case& c : cases) {
        const auto gaps = bench::switch_gaps(c.present, switches, 600, c.dropped_ms);
        EXPECT_EQ(gaps.follows, c.follows) << c.what;
        EXPECT_EQ(gaps.lost_ms, c.lost_ms) << c.what;
    }
}

// The whole chain the fidelity figures take: through the Opus encoder and back, the tone
// keeps its place and length to within a couple of milliseconds.
TEST_F(OggOpusInfoTest, ToneKeepsItsSpanThroughOpus) {
    const std::size_t from = 30000, length = 33600;  // 625 ms in, 700 ms long
    const auto pcm = music_with_tone(from, length, test_support::TONE_AMPLITUDE);
    const fs::path path = dir_ / "music-tone.opus";
    {
        auto writer = opus_ogg::OpusOggWriter::create(path.string(), TONE_RATE, 2);
        ASSERT_TRUE(writer.has_value());
        std::vector<std::int16_t> samples(pcm.size());
        std::transform(pcm.begin(), pcm.end(), samples.begin(), [](float v) {
            return static_cast<std::int16_t>(std::clamp(v, -1.0f, 1.0f) * 32767.0f);
        });
        ASSERT_TRUE(writer->write_pcm_i16(samples).has_value());
        ASSERT_TRUE(writer->finalize().has_value());
    }
    const auto decoded = test_support::decode_opus_file(path.string());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_GE(decoded->samples.size(), pcm.size());
    const auto span = test_support::find_tone_span(
        decoded->samples, 2, TONE_RATE, test_support::TONE_HZ, test_support::TONE_AMPLITUDE / 4);
    ASSERT_TRUE(span.has_value());
    EXPECT_NEAR(static_cast<double>(span->first_frame), static_cast<double>(from), 96.0);
    EXPECT_NEAR(static_cast<double>(span->end_frame), static_cast<double>(from + length), 96.0);
    EXPECT_NEAR(span->level, test_support::TONE_AMPLITUDE, test_support::TONE_AMPLITUDE * 0.25);

    EXPECT_FALSE(test_support::decode_opus_file((dir_ / "missing.opus").string()).has_value());
    std::ofstream(dir_ / "not-opus.opus") << "not an Ogg stream";
    EXPECT_FALSE(test_support::decode_opus_file((dir_ / "not-opus.opus").string()).has_value());
}

}  // namespace
