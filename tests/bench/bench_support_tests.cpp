// The readings the benchmarks' figures rest on: the Ogg Opus reader that turns each
// recorder's file into a duration, the fixed test signal, the sound server's cost (/proc
// stat, the sink's latency from pactl) and the process footprint (callgrind totals, smaps,
// threads, peak memory).

#include <gtest/gtest.h>
#include <ogg/ogg.h>
#include <opusfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <time.h>
#include <unistd.h>

#include "bench/e2e_options.h"
#include "bench/music_signal.h"
#include "bench/process_footprint.h"
#include "bench/server_cost.h"
#include "opus_ogg/opus_ogg_writer.h"
#include "tests/support/child_process.h"
#include "tests/support/ogg_reading.h"

namespace {

namespace fs = std::filesystem;
using test_support::ChildProcess;
using test_support::read_bytes;

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

    auto ended = ChildProcess::spawn({"true"}, {"PATH=/usr/bin:/bin"});
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

}  // namespace

// The load mode's options beside the others: zero means no load and nice 0, but counts
// must be above zero and a nice value is 0 to 19.
TEST(OptionsTest, ReadsTheLoadAndTheHelpersNiceValue) {
    struct Case {
        std::vector<std::string> args;
        bool valid;
        int load_loops = 0;
        int helper_nice = 0;
    };
    const Case cases[] = {
        {{}, true},
        {{"--load", "4", "--nice", "19"}, true, 4, 19},
        {{"--load", "0", "--nice", "0"}, true},
        {{"--nice", "20"}, false},
        {{"--nice", "-1"}, false},
        {{"--load", "x"}, false},
        {{"--load"}, false},
        {{"--secs", "0"}, false},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("e2e_bench")};
        std::vector<std::string> args = c.args;
        for (auto& a : args) argv.push_back(a.data());
        const auto options =
            bench::parse_options(static_cast<int>(argv.size()), argv.data(), "helper");
        const std::string what = testing::PrintToString(c.args);
        ASSERT_EQ(options.has_value(), c.valid) << what;
        if (!options) continue;
        EXPECT_EQ(options->load_loops, c.load_loops) << what;
        EXPECT_EQ(options->helper_nice, c.helper_nice) << what;
        EXPECT_EQ(options->helper, "helper") << what;
    }
}
