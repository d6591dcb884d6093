// The pieces the end-to-end benchmark's figures rest on: the Ogg Opus reader that turns
// each recorder's file into a duration, the process runner that turns each recorder into
// CPU seconds and peak memory, and the fixed test signal.

#include <gtest/gtest.h>
#include <opusfile.h>

#include <cerrno>
#include <cmath>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/bench_process.h"
#include "bench/music_signal.h"
#include "bench/ogg_opus_info.h"
#include "src/opus_ogg/opus_ogg_writer.h"

#ifndef MEASURED_LAUNCH
#error "MEASURED_LAUNCH must name the measured_launch executable"
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::vector<std::string> minimal_env() {
    const char* path = std::getenv("PATH");
    return {std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin")};
}

std::vector<std::uint8_t> read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
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
        const fs::path path = dir_ / ("tone-" + std::to_string(rate) + "-" + std::to_string(frames) + ".opus");
        auto writer = opus_ogg::OpusOggWriter::create(path.string(), rate, 2);
        EXPECT_TRUE(writer.has_value());
        std::vector<std::int16_t> pcm(frames * 2);
        for (std::size_t i = 0; i < frames; ++i) {
            const auto v = static_cast<std::int16_t>(8000.0 * std::sin(0.0576 * static_cast<double>(i)));
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
        const auto info = bench::read_ogg_opus(path.string());
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
                    static_cast<double>(info->bytes) * 8.0 / info->duration_seconds() / 1000.0, 1e-9);
    }
    const auto resampled = bench::read_ogg_opus(record(44100, 44100).string());
    ASSERT_TRUE(resampled.has_value());
    EXPECT_EQ(resampled->input_rate, 44100u);
}

TEST_F(OggOpusInfoTest, RejectsWhatIsNotOneWholeStream) {
    const std::vector<std::uint8_t> good = read_bytes(record(48000, 48000));
    ASSERT_TRUE(bench::parse_ogg_opus(good).has_value());

    EXPECT_FALSE(bench::parse_ogg_opus({}).has_value());
    // Cut inside the last page, inside a page header, and one byte short.
    for (const std::size_t cut : {good.size() - 1, good.size() - 100, std::size_t{20}}) {
        const std::vector<std::uint8_t> truncated(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_FALSE(bench::parse_ogg_opus(truncated).has_value()) << cut;
    }
    std::vector<std::uint8_t> bad_pattern = good;
    bad_pattern[0] = 'X';
    EXPECT_FALSE(bench::parse_ogg_opus(bad_pattern).has_value());

    std::vector<std::uint8_t> not_opus = good;
    const std::size_t body = 27 + not_opus[26];
    std::memcpy(not_opus.data() + body, "OpusTags", 8);
    EXPECT_FALSE(bench::parse_ogg_opus(not_opus).has_value());

    std::vector<std::uint8_t> trailing = good;
    trailing.push_back('O');
    EXPECT_FALSE(bench::parse_ogg_opus(trailing).has_value());
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
    const auto info = bench::parse_ogg_opus(bytes);
    ASSERT_TRUE(info.has_value());
    EXPECT_FALSE(info->ends_with_eos);
}

TEST(ProcessTest, ReportsExitStatusSignalsAndCpu) {
    auto exits = bench::Process::spawn({"sh", "-c", "exit 3"}, minimal_env());
    ASSERT_TRUE(exits.has_value()) << exits.error();
    EXPECT_EQ(exits->wait().status, 3);
    EXPECT_EQ(exits->wait().status, 3);  // a second wait gives the same figures

    auto missing = bench::Process::spawn({"vmah-no-such-program"}, minimal_env());
    ASSERT_TRUE(missing.has_value());
    EXPECT_EQ(missing->wait().status, 127);

    auto sleeper = bench::Process::spawn({"sleep", "30"}, minimal_env());
    ASSERT_TRUE(sleeper.has_value());
    EXPECT_TRUE(sleeper->signal(SIGTERM));
    EXPECT_EQ(sleeper->wait_at_most(10s).status, 128 + SIGTERM);
    EXPECT_FALSE(sleeper->signal(SIGTERM));  // reaped: nothing left to signal

    auto burner = bench::Process::spawn(
        {"sh", "-c", "i=0; while [ $i -lt 300000 ]; do i=$((i+1)); done"}, minimal_env());
    ASSERT_TRUE(burner.has_value());
    const bench::Usage used = burner->wait();
    EXPECT_EQ(used.status, 0);
    EXPECT_GT(used.cpu_seconds, 0.05);
    EXPECT_GT(used.max_rss_kib, 0);
}

TEST(ProcessTest, EndsWhatOutlivesItsLimitOrItsOwner) {
    auto stuck = bench::Process::spawn({"sleep", "30"}, minimal_env());
    ASSERT_TRUE(stuck.has_value());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(stuck->wait_at_most(50ms).status, 128 + SIGKILL);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    pid_t pid = -1;
    {
        auto dropped = bench::Process::spawn({"sleep", "30"}, minimal_env());
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
    auto pipe = bench::Pipe::make();
    ASSERT_TRUE(pipe.has_value());
    std::vector<std::string> env = minimal_env();
    env.push_back("VMAH_BENCH_TEST_GIVEN=given");
    auto child = bench::Process::spawn(
        {"sh", "-c", "printf '%s|%s' \"$VMAH_BENCH_TEST_GIVEN\" \"$VMAH_BENCH_TEST_LEAK\""}, env,
        bench::SpawnOptions{-1, pipe->write_fd, {}, {}});
    ::unsetenv("VMAH_BENCH_TEST_LEAK");
    ASSERT_TRUE(child.has_value());
    pipe->close_write();
    std::string out;
    char buffer[64];
    ssize_t n;
    while ((n = ::read(pipe->read_fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(child->wait().status, 0);
    EXPECT_EQ(out, "given|");
}

// A child forked from a large process reports that process's peak as its own; through the
// launcher it reports only what the command itself used.
TEST(ProcessTest, LauncherReportsTheCommandsOwnPeakMemory) {
    constexpr std::size_t BALLAST = 192u << 20;
    std::vector<char> ballast(BALLAST);
    for (std::size_t i = 0; i < ballast.size(); i += 4096) ballast[i] = static_cast<char>(i);

    auto direct = bench::Process::spawn({"true"}, minimal_env());
    ASSERT_TRUE(direct.has_value());
    const bench::Usage inflated = direct->wait();
    EXPECT_GE(inflated.max_rss_kib, static_cast<long>(BALLAST / 1024));

    auto launched = bench::Process::spawn({"true"}, minimal_env(), bench::SpawnOptions{-1, -1, {}, MEASURED_LAUNCH});
    ASSERT_TRUE(launched.has_value()) << launched.error();
    const bench::Usage own = launched->wait();
    EXPECT_EQ(own.status, 0);
    EXPECT_GT(own.max_rss_kib, 0);
    EXPECT_LT(own.max_rss_kib, 32 * 1024);
    EXPECT_EQ(ballast[4096], static_cast<char>(4096));
}

// Through the launcher, pid() and signal() reach the command and its status comes back.
TEST(ProcessTest, LauncherForwardsTheCommandsPidStatusAndCpu) {
    const std::vector<std::string> env = minimal_env();
    const bench::SpawnOptions launched{-1, -1, {}, MEASURED_LAUNCH};

    auto exits = bench::Process::spawn({"sh", "-c", "exit 7"}, env, launched);
    ASSERT_TRUE(exits.has_value()) << exits.error();
    EXPECT_EQ(exits->wait().status, 7);

    auto sleeper = bench::Process::spawn({"sleep", "30"}, env, launched);
    ASSERT_TRUE(sleeper.has_value());
    const std::string comm = "/proc/" + std::to_string(sleeper->pid()) + "/comm";
    std::ifstream in(comm);
    std::string name;
    std::getline(in, name);
    EXPECT_EQ(name, "sleep");
    EXPECT_TRUE(sleeper->signal(SIGINT));
    EXPECT_EQ(sleeper->wait_at_most(10s).status, 128 + SIGINT);

    auto stuck = bench::Process::spawn({"sleep", "30"}, env, launched);
    ASSERT_TRUE(stuck.has_value());
    EXPECT_EQ(stuck->wait_at_most(50ms).status, 128 + SIGKILL);

    auto burner = bench::Process::spawn(
        {"sh", "-c", "i=0; while [ $i -lt 300000 ]; do i=$((i+1)); done"}, env, launched);
    ASSERT_TRUE(burner.has_value());
    EXPECT_GT(burner->wait().cpu_seconds, 0.05);

    auto missing = bench::Process::spawn({"vmah-no-such-program"}, env, launched);
    ASSERT_TRUE(missing.has_value());
    EXPECT_EQ(missing->wait().status, 127);
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

}  // namespace
