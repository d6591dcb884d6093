// The shipped helper, run as its parent runs it, against a private sound server.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/server_events.h"
#include "tests/support/child_process.h"
#include "tests/support/decoded_audio.h"
#include "tests/support/helper_child.h"
#include "tests/support/ogg_reading.h"
#include "tests/support/pulse_daemon.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using e2e::Clock;
using test_support::ChildProcess;
using test_support::ok_seconds;
using test_support::PulseDaemon;

// One 20 ms frame: the last frame is padded to a whole one.
constexpr double FRAME_SECONDS = 0.020;
// One capture fragment: audio still on its way when capture stops is not in the file.
constexpr double FRAGMENT_SECONDS = 0.040;

const std::string RECORD_STREAM_NEW = "'new' on source-output";
const std::string RECORD_STREAM_GONE = "'remove' on source-output";
const std::string STREAM_STOPPED_LINE =
    "SCStream error: SCStream error (System stopped the stream): ";

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// opusinfo's verdict: its exit status and anything it warns about.
void expect_opusinfo_clean(const fs::path& path) {
    auto child = ChildProcess::spawn({"opusinfo", path.string()}, {"PATH=/usr/bin:/bin", "LANG=C"},
                                     test_support::PIPED);
    ASSERT_TRUE(child.has_value()) << child.error();
    const auto result = child->finish();
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    for (const char* complaint : {"WARNING", "ERROR", "Error", "error"}) {
        EXPECT_EQ(result.out.find(complaint), std::string::npos) << result.out;
        EXPECT_EQ(result.err.find(complaint), std::string::npos) << result.err;
    }
}

// A finished recording: an Ogg Opus file that libopusfile and opusinfo accept, with the
// end-of-stream mark on its last page only and the duration the helper printed.
void expect_finished_file(const fs::path& path, double seconds) {
    const test_support::OggSummary pages = test_support::summarize_ogg(path);
    EXPECT_GE(pages.pages, 3);
    EXPECT_TRUE(pages.last_is_eos);
    EXPECT_EQ(pages.eos_pages, 1);
    // The printed duration counts the frames that held audio. When none was pending at the
    // end (always in a run without audio; otherwise when capture ended on a frame boundary,
    // often on PipeWire, whose monitor delivers exact 10 ms fragments from the first moment),
    // one more silent frame carries the end-of-stream mark.
    const auto frames = static_cast<std::int64_t>(std::llround(seconds * 48000.0));
    if (seconds == 0) {
        EXPECT_EQ(pages.last_granule, 960);
    } else {
        EXPECT_TRUE(pages.last_granule == frames || pages.last_granule == frames + 960)
            << "last granule " << pages.last_granule << " for " << frames << " frames";
    }
    expect_opusinfo_clean(path);
    const auto decoded = test_support::decode_opus_file(path.string());
    EXPECT_TRUE(decoded.has_value()) << decoded.error();
}

class HelperEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { start_server({}); }

    // The watcher goes before the server; the server takes its directory with it.
    void TearDown() override { events.reset(); }

    void start_server(test_support::PulseDaemonOptions options) {
        auto started = PulseDaemon::start(options);
        ASSERT_TRUE(started.has_value()) << started.error();
        server = std::move(*started);
        fs::create_directory(dir());
    }

    // Where the helper writes; inside the server's private directory.
    fs::path dir() const { return fs::path(server->directory()) / "out"; }

    // The server at `pulse_server` (its own address when none is given).
    std::vector<std::string> environment(
        const std::optional<std::string>& pulse_server = {}) const {
        return test_support::helper_environment(*server, pulse_server);
    }

    std::unique_ptr<ChildProcess> start_helper(std::vector<std::string> args) {
        args.insert(args.begin(), test_support::helper_binary());
        auto env = environment();
        for (const auto& setting : overrides) {
            const auto name = setting.substr(0, setting.find('=') + 1);
            for (auto& entry : env) {
                if (entry.starts_with(name)) entry = setting;
            }
        }
        return std::make_unique<ChildProcess>(ChildProcess::start(args, env, test_support::PIPED));
    }

    // Watches the server; returns once the watch is known to be in place (a client of our
    // own has come and gone).
    void watch_server() {
        events = std::make_unique<e2e::ServerEvents>(environment());
        for (int attempt = 0; attempt < 50; ++attempt) {
            ASSERT_TRUE(server->pactl({"info"}).has_value());
            if (events->wait_for("'remove' on client", 100ms)) return;
        }
        FAIL() << "pactl subscribe reports nothing:\n" << events->transcript();
    }

    // The moments the helper's record stream appeared and went, on the server's side.
    Clock::time_point capture_began() {
        const auto at = events->wait_for(RECORD_STREAM_NEW, 10s);
        EXPECT_TRUE(at.has_value()) << events->transcript();
        return at.value_or(Clock::now());
    }
    Clock::time_point capture_ended() {
        const auto at = events->wait_for(RECORD_STREAM_GONE, 10s);
        EXPECT_TRUE(at.has_value()) << events->transcript();
        return at.value_or(Clock::now());
    }

    std::unique_ptr<PulseDaemon> server;
    std::unique_ptr<e2e::ServerEvents> events;
    std::vector<std::string> overrides;  // "NAME=value" for the helper, in place of its own
    ChildProcess* recording = nullptr;   // the helper record() runs, while it runs
};

// A run stopped by `signal_number` after `during`; checks the prompt stop, the one "OK" line
// and the finished file, and gives the printed duration with the capture's wall-clock times.
struct TimedRun {
    double seconds = -1;
    double until_signal = 0;  // capture start to the stop request
    double until_gone = 0;    // capture start to the record stream's end
};

class HelperRecording : public HelperEndToEnd {
protected:
    template <class During>
    TimedRun record(const fs::path& out, int signal_number, During during,
                    std::vector<std::string> extra = {}) {
        TimedRun run;
        watch_server();
        std::vector<std::string> args = {"--out", out.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        auto child = start_helper(args);
        recording = child.get();
        const auto began = capture_began();
        during();
        recording = nullptr;
        EXPECT_TRUE(child->running()) << "ended before it was stopped";
        const auto signalled = Clock::now();
        if (signal_number != 0) child->signal(signal_number);
        const auto result = child->finish(20s);
        const auto ended = capture_ended();
        // The poll loop notices a stop request within one 100 ms sleep.
        if (signal_number != 0) {
            EXPECT_LT(seconds_between(signalled, Clock::now()), 0.5);
        }
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.err, "");
        const auto seconds = ok_seconds(result.out);
        EXPECT_TRUE(seconds.has_value()) << result.out;
        if (!seconds) return run;
        expect_finished_file(out, *seconds);
        run.seconds = *seconds;
        run.until_signal = seconds_between(began, signalled);
        run.until_gone = seconds_between(began, ended);
        return run;
    }

    // The file holds what was captured, no more and no less: everything up to the stop
    // request, at most one padded frame past the end of capture. Audio still in flight
    // when capture stops (one fragment) may be missing.
    static void expect_covers_wall_time(const TimedRun& run) {
        EXPECT_GE(run.seconds, run.until_signal - FRAGMENT_SECONDS - FRAME_SECONDS)
            << "capture lasted " << run.until_signal << " s up to the stop request";
        EXPECT_LE(run.seconds, run.until_gone + FRAME_SECONDS + FRAGMENT_SECONDS)
            << "capture lasted " << run.until_gone << " s in all";
    }
};

TEST_F(HelperRecording, ToneIsRecordedAtItsFrequencyAndLevel) {
    constexpr double FREQUENCY = 997.0;
    constexpr double AMPLITUDE = 0.5;
    const fs::path out = dir() / "tone.opus";
    const TimedRun run = record(out, SIGINT, [&] {
        auto player = server->play_tone(FREQUENCY, AMPLITUDE, 1.0);
        ASSERT_TRUE(player.has_value()) << player.error();
        // The player ends once the sink has played everything; a little more for the
        // monitor to hand the last of it over.
        EXPECT_TRUE(player->wait_done(10s));
        std::this_thread::sleep_for(300ms);
    });
    expect_covers_wall_time(run);

    const auto decoded = test_support::decode_opus_file(out.string());
    ASSERT_TRUE(decoded.has_value()) << decoded.error();
    // Where the tone is: 10 ms blocks well above silence.
    const std::size_t block = 480;
    std::optional<std::size_t> first;
    std::size_t last = 0;
    for (std::size_t b = 0; b + 1 < decoded->frames() / block; ++b) {
        if (test_support::rms(decoded->channel(0, b * block, block)) > 0.1) {
            if (!first) first = b;
            last = b;
        }
    }
    ASSERT_TRUE(first.has_value()) << "no tone in " << decoded->frames() << " frames";
    ASSERT_GT(last, *first + 40) << "tone too short";
    // A new sound may lose the start of what the sink had rendered when it came: up to
    // about one server fragment (40 ms).
    EXPECT_NEAR(static_cast<double>(last - *first + 1) * 0.010, 1.0, 0.05);
    // Its middle, away from the edges.
    const std::size_t middle = (*first + 10) * block, length = (last - *first - 20) * block;
    for (int channel = 0; channel < 2; ++channel) {
        const auto tone = decoded->channel(channel, middle, length);
        EXPECT_NEAR(test_support::zero_crossing_frequency(tone), FREQUENCY, 2.0) << channel;
        EXPECT_NEAR(test_support::rms(tone), AMPLITUDE / std::sqrt(2.0), 0.02) << channel;
    }
}

TEST_F(HelperRecording, SignalsAndDeadlineEachEndTheRunWithOneOkLine) {
    const auto pause = [] { std::this_thread::sleep_for(500ms); };
    record(dir() / "int.opus", SIGINT, pause);
    record(dir() / "term.opus", SIGTERM, pause);
    // The deadline: no signal; capture runs from its start for one second.
    const TimedRun timed = record(dir() / "deadline.opus", 0, [] {}, {"--secs", "1"});
    EXPECT_GE(timed.until_gone, 1.0);
    EXPECT_LT(timed.until_gone, 1.5);
    // No sound-server cookie anywhere (no client.conf names one): a home where none can be
    // made (standard error stays empty, which record() checks), and an empty one, which the
    // helper leaves so.
    const fs::path conf = dir() / "client.conf", file = dir() / "file", empty = dir() / "home";
    std::ofstream(conf) << "autospawn = no\n";
    std::ofstream(file) << "\n";
    fs::create_directory(empty);
    for (const fs::path& home : {file, empty}) {
        overrides = {"PULSE_CLIENTCONFIG=" + conf.string(), "HOME=" + home.string()};
        record(dir() / "no-cookie.opus", SIGINT, pause);
    }
    for (const auto& entry : fs::recursive_directory_iterator(empty)) {
        ADD_FAILURE() << "the helper wrote into the user's home: " << entry.path();
    }
}

// Silence is recorded as such, from the first moment of capture: also a recording that
// ends before the server's first delivery (an idle null sink delivers its first fragment
// up to two seconds late) covers its wall time.
TEST_F(HelperRecording, SilenceIsAsLongAsItsWallTime) {
    expect_covers_wall_time(
        record(dir() / "long.opus", SIGINT, [] { std::this_thread::sleep_for(3s); }));
    expect_covers_wall_time(
        record(dir() / "short.opus", SIGINT, [] { std::this_thread::sleep_for(1s); }));
    const TimedRun timed = record(dir() / "deadline.opus", 0, [] {}, {"--secs", "1"});
    EXPECT_NEAR(timed.seconds, timed.until_gone, FRAME_SECONDS + FRAGMENT_SECONDS);
}

// Killed once audio is flowing, and once before an idle null sink's first delivery (up to
// two seconds late): either way the recording keeps its time up to the loss.
TEST_F(HelperRecording, ServerDeathIsReportedOnceAndTheRunGoesOnToItsDeadline) {
    for (const auto alive_for : {3000ms, 1000ms}) {
        SCOPED_TRACE(alive_for.count());
        if (!server->running()) {
            auto restarted = server->restart();
            ASSERT_TRUE(restarted.has_value()) << restarted.error();
        }
        const fs::path out = dir() / ("killed-" + std::to_string(alive_for.count()) + ".opus");
        // The early loss, with a sound playing since before the start from a player that
        // asks for a 50 ms latency. On PulseAudio it is heard (and in the sink's monitor)
        // once the silence the idle null sink had rendered ahead has played out.
        const bool tone = alive_for < 2s;
        std::optional<test_support::PcmPlayer> player;
        if (tone) {
            auto playing =
                server->play_tone(997.0, 0.5, 10.0, 48000, 2, PulseDaemon::SINK_NAME, 50);
            ASSERT_TRUE(playing.has_value()) << playing.error();
            player = std::move(*playing);
            if (server->kind() == test_support::ServerKind::PulseAudio) {
                std::this_thread::sleep_for(PulseDaemon::IDLE_RENDER_AHEAD);
            }
            std::this_thread::sleep_for(700ms);
        }
        watch_server();
        const auto spawned = Clock::now();
        auto helper = start_helper({"--out", out.string(), "--secs", "5"});
        const auto began = capture_began();
        std::this_thread::sleep_for(alive_for);
        const auto killing = Clock::now();
        server->kill();  // returns once the server is gone
        const auto killed = Clock::now();
        std::this_thread::sleep_for(500ms);
        EXPECT_TRUE(helper->running()) << "a lost server ended the run";
        const auto result = helper->finish(20s);
        EXPECT_GE(seconds_between(spawned, Clock::now()), 5.0);
        EXPECT_EQ(result.exit_status, 0);
        ASSERT_TRUE(result.err.starts_with(STREAM_STOPPED_LINE)) << result.err;
        EXPECT_GT(result.err.size(), STREAM_STOPPED_LINE.size() + 1) << "no server text";
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
        const auto seconds = ok_seconds(result.out);
        ASSERT_TRUE(seconds.has_value()) << result.out;
        // What was captured before the server went, silence owed included, and nothing after.
        EXPECT_GT(*seconds, seconds_between(began, killing) - 0.2);
        EXPECT_LE(*seconds, seconds_between(began, killed) + FRAME_SECONDS + FRAGMENT_SECONDS);
        expect_finished_file(out, *seconds);
        if (tone) {
            const auto decoded = test_support::decode_opus_file(out.string());
            ASSERT_TRUE(decoded.has_value()) << decoded.error();
            std::size_t loud = 0;
            std::optional<std::size_t> first;
            for (std::size_t b = 0; (b + 1) * 480 <= decoded->frames(); ++b) {
                if (test_support::rms(decoded->channel(0, b * 480, 480)) > 0.1) {
                    ++loud;
                    if (!first) first = b;
                }
            }
            EXPECT_GE(static_cast<double>(loud) * 0.010, 0.8) << "of " << *seconds << " s";
            ASSERT_TRUE(first.has_value());
            EXPECT_LE(static_cast<double>(*first) * 0.010, 0.1)
                << "the start lost what was playing";
        }
    }
}

TEST_F(HelperEndToEnd, NoServerIsReportedPromptlyWithoutAFile) {
    const fs::path out = dir() / "none.opus";
    const std::string missing = "unix:" + (dir() / "no-server").string();
    const auto started = Clock::now();
    auto helper = ChildProcess::start({test_support::helper_binary(), "--out", out.string()},
                                      environment(missing), test_support::PIPED);
    const auto result = helper.finish();
    EXPECT_LT(seconds_between(started, Clock::now()), 0.8);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out,
              "UNAVAILABLE SCShareableContent::get: No shareable content available: "
              "Content unavailable: Connection refused\n");
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(HelperEndToEnd, ServerWithoutOutputsHasNoDisplays) {
    server.reset();
    start_server({.null_sink = false});
    const fs::path out = dir() / "nosink.opus";
    const auto result = start_helper({"--out", out.string()})->finish();
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "UNAVAILABLE no displays\n");
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(fs::exists(out));
}

// The level of each channel of a recorded sound over its steady middle, in dB against a sine
// of amplitude 0.5, and the largest sample of the whole file.
struct Levels {
    double db[2] = {-200, -200};
    float peak = 0;
};

Levels levels_of(const fs::path& path) {
    Levels levels;
    const auto decoded = test_support::decode_opus_file(path.string());
    EXPECT_TRUE(decoded.has_value()) << decoded.error();
    if (!decoded) return levels;
    for (float v : decoded->samples) levels.peak = std::max(levels.peak, std::fabs(v));
    const std::size_t block = 480;
    std::vector<std::size_t> loud;
    for (std::size_t b = 0; (b + 1) * block <= decoded->frames(); ++b) {
        if (std::max(test_support::rms(decoded->channel(0, b * block, block)),
                     test_support::rms(decoded->channel(1, b * block, block))) > 0.1) {
            loud.push_back(b);
        }
    }
    EXPECT_GT(loud.size(), 50u) << "no sound in " << path;
    if (loud.size() <= 50) return levels;
    const std::size_t first = (loud.front() + 10) * block;
    const std::size_t count = (loud.back() - loud.front() - 20) * block;
    for (int c = 0; c < 2; ++c) {
        levels.db[c] =
            20 * std::log10(test_support::rms(decoded->channel(c, first, count)) / 0.35355339);
    }
    return levels;
}

// One sound played to the default output, as the helper records it, for outputs of several
// layouts. A stereo sound (1000 Hz at 0.5 left, 1500 Hz at 0.25 right) played on a surround
// PulseAudio output reaches every channel there, copied by the server; the recording keeps
// the level it has on a stereo output. A sound in one surround channel only stays audible.
TEST_F(HelperRecording, EveryOutputLayoutIsRecordedAtTheLevelItIsPlayed) {
    const std::string five_one = "front-left,front-right,rear-left,rear-right,front-center,lfe";
    ASSERT_TRUE(server->load_sink("surround51", 6, five_one).has_value());
    ASSERT_TRUE(server->load_sink("surround71", 8, five_one + ",side-left,side-right").has_value());
    const auto left = test_support::make_sine(1000, 0.5, 1.5, 48000, 1);
    const auto right = test_support::make_sine(1500, 0.25, 1.5, 48000, 1);
    std::vector<float> stereo;
    std::vector<float> rear_left(left.size() * 6, 0.0f);
    for (std::size_t i = 0; i < left.size(); ++i) {
        stereo.push_back(left[i]);
        stereo.push_back(right[i]);
        rear_left[i * 6 + 2] = left[i];
    }
    struct Case {
        const char* sink;
        const std::vector<float>& pcm;
        std::uint32_t channels;
        std::string map;
    };
    const Case cases[] = {{PulseDaemon::SINK_NAME, stereo, 2, ""},
                          {"surround51", stereo, 2, ""},
                          {"surround71", stereo, 2, ""},
                          {"surround51", rear_left, 6, five_one}};
    // PipeWire's own upmix filters what it puts in the extra channels; there the helper
    // gives what the server's own downmix gives, as it did.
    const bool copies = server->kind() == test_support::ServerKind::PulseAudio;
    Levels stereo_output;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.sink) + ", " + std::to_string(c.channels) + " channels");
        ASSERT_TRUE(server->set_default_sink(c.sink).has_value());
        const fs::path out = dir() / (std::string(c.sink) + std::to_string(c.channels) + ".opus");
        record(out, SIGINT, [&] {
            if (copies) std::this_thread::sleep_for(PulseDaemon::IDLE_RENDER_AHEAD);
            auto player = server->play_pcm(c.pcm, 48000, c.channels, c.sink, c.map, 50);
            ASSERT_TRUE(player.has_value()) << player.error();
            EXPECT_TRUE(player->wait_done(10s));
            std::this_thread::sleep_for(300ms);
        });
        const Levels levels = levels_of(out);
        if (c.channels != 2) {
            // The server's own downmix keeps it at about -23 dB.
            EXPECT_GE(levels.db[0], -12.0);
        } else if (&c == &cases[0]) {
            stereo_output = levels;
            EXPECT_NEAR(levels.db[0], 0.0, 0.5);
            EXPECT_NEAR(levels.db[1], -6.0, 0.5);
        } else if (copies) {
            EXPECT_NEAR(levels.db[0], stereo_output.db[0], 1.0);
            EXPECT_NEAR(levels.db[1], stereo_output.db[1], 1.0);
            EXPECT_LT(levels.peak, 0.99f) << "a sample at full scale";
        }
    }
}

// Onsets of the beeps of a recording, in seconds.
std::vector<double> beep_onsets(const fs::path& path) {
    const auto decoded = test_support::decode_opus_file(path.string());
    EXPECT_TRUE(decoded.has_value()) << decoded.error();
    std::vector<double> onsets;
    bool was_loud = true;  // a beep already sounding at the start has no onset
    for (std::size_t b = 0; decoded && (b + 1) * 480 <= decoded->frames(); ++b) {
        const bool loud = test_support::rms(decoded->channel(0, b * 480, 480)) > 0.1;
        if (loud && !was_loud) onsets.push_back(static_cast<double>(b) * 0.010);
        was_loud = loud;
    }
    return onsets;
}

// What the server delivers late covers the time it was late for, so the file keeps to the
// wall clock and the sound stays in place: the helper stopped for 5 s (as Ctrl-Z or a parent
// would stop it) and continued, and the default output switched ten times with the playing
// stream moved along. Beeps of 0.1 s every 0.77 s play throughout, from a player that asks
// for a 50 ms latency.
TEST_F(HelperRecording, APauseOrSwitchedOutputsCountNoTimeTwice) {
    ASSERT_TRUE(server->load_sink("second").has_value());
    constexpr double PERIOD = 0.77;
    std::vector<float> beeps(48000 * 30 * 2, 0.0f);
    for (std::size_t i = 0; i < beeps.size() / 2; ++i) {
        const double t = static_cast<double>(i) / 48000;
        if (std::fmod(t, PERIOD) < 0.1) {
            beeps[2 * i] = beeps[2 * i + 1] =
                static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000 * t));
        }
    }
    struct Case {
        const char* name;
        std::function<void()> during;
        double tolerance;  // of the duration against the wall clock, in seconds
        bool in_place;     // the beeps keep their spacing throughout
    };
    const Case cases[] = {
        {"stopped for 5 s",
         [&] {
             std::this_thread::sleep_for(2s);
             recording->signal(SIGSTOP);
             std::this_thread::sleep_for(5s);
             recording->signal(SIGCONT);
             std::this_thread::sleep_for(2s);
         },
         0.15, true},
        // A switch may lose some of the sound, so beeps are not timed there.
        {"ten switches",
         [&] {
             for (int i = 0; i < 10; ++i) {
                 const char* to = i % 2 == 0 ? "second" : PulseDaemon::SINK_NAME;
                 ASSERT_TRUE(server->set_default_sink(to).has_value());
                 ASSERT_TRUE(server->move_players_to(to).has_value());
                 std::this_thread::sleep_for(1s);
             }
         },
         0.11, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(server->set_default_sink(PulseDaemon::SINK_NAME).has_value());
        auto player = server->play_pcm(beeps, 48000, 2, PulseDaemon::SINK_NAME, {}, 50);
        ASSERT_TRUE(player.has_value()) << player.error();
        if (server->kind() == test_support::ServerKind::PulseAudio) {
            std::this_thread::sleep_for(PulseDaemon::IDLE_RENDER_AHEAD);
        }
        const fs::path out = dir() / (std::string(c.name) + ".opus");
        const TimedRun run = record(out, SIGINT, c.during);
        player->stop();
        EXPECT_NEAR(run.seconds, run.until_signal, c.tolerance);
        if (!c.in_place) continue;
        const auto onsets = beep_onsets(out);
        ASSERT_GE(onsets.size(), 10u);
        for (const double at : onsets) {
            const double off = std::remainder(at - onsets.front(), PERIOD);
            EXPECT_LT(std::fabs(off), 0.03) << "a beep at " << at << " s is out of place";
        }
    }
}

}  // namespace
