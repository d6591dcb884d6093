#include "bench/fidelity_probes.h"

#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "bench/tone_player.h"
#include "tests/support/decoded_audio.h"
#include "tests/support/tone_meter.h"

namespace bench {

namespace {

using namespace std::chrono_literals;

// Onset: the 1 s tone starts this far into the recording (past the wait for a monitor's
// first data with a player buffering 2 s) and the recording goes on this long after it.
constexpr auto ONSET_AT = 2500ms;
constexpr auto TONE_LENGTH = 1000ms;
constexpr auto ONSET_AFTER = 1000ms;
// Start lead: heard for this long before the recorder starts, recorded for this long.
constexpr auto LEAD_BEFORE = 700ms;
constexpr auto LEAD_RECORDING = 3000ms;
// Stop tail: the tone starts this far into its player's stream and is heard this long
// before the SIGINT.
constexpr auto TAIL_TONE_AT = 3000ms;
constexpr auto TAIL_BEFORE_SIGNAL = 1000ms;
constexpr auto ORIGIN_LIMIT = 5000ms;
// Switch gap: the first switch this long into the recording, one every SWITCH_EVERY (twice
// a switch's reach), and the recording goes on as long after the last.
constexpr auto SWITCH_SETTLE = 1000ms;
constexpr auto SWITCH_EVERY = std::chrono::milliseconds(static_cast<int>(2 * SWITCH_REACH_MS));

double ms_of_frames(std::size_t frames) { return static_cast<double>(frames) * 1000.0 / RATE; }
double ms_of(std::chrono::milliseconds d) { return static_cast<double>(d.count()); }
double seconds_of(std::chrono::milliseconds d) { return ms_of(d) / 1000.0; }

std::expected<test_support::DecodedAudio, std::string> decoded(const Measure& m) {
    auto pcm = test_support::decode_opus_file(m.out);
    if (!pcm) return std::unexpected("cannot decode " + m.out + ": " + pcm.error());
    return pcm;
}

// Where the test tone is in a recorder's file.
std::expected<test_support::ToneSpan, std::string> tone_in(const Measure& m) {
    const auto pcm = decoded(m);
    if (!pcm) return std::unexpected(pcm.error());
    // A quarter of the tone's amplitude is far above the music at 5 kHz and far below
    // the tone after encoding.
    const auto span = test_support::find_tone_span(pcm->samples, 2, RATE, test_support::TONE_HZ,
                                                   test_support::TONE_AMPLITUDE / 4);
    if (!span) return std::unexpected("no tone in " + m.out);
    return *span;
}

std::vector<float> test_tone(double seconds) {
    return test_support::tone(test_support::TONE_HZ, test_support::TONE_AMPLITUDE, seconds, RATE,
                              CHANNELS);
}

}  // namespace

std::expected<Fidelity, std::string> measure_fidelity(RecorderRuns& b, const RunRecorder& run) {
    Fidelity f;
    const std::string server = b.daemon->server();
    const std::string sink = test_support::PulseDaemon::SINK_NAME;
    const int buffer_ms = b.options.player_latency_ms;
    {
        TonePlayer player;
        std::optional<std::string> not_started;
        const StopAt stop_at = [&](Clock::time_point started, Measure&) {
            std::this_thread::sleep_until(started + ONSET_AT);
            not_started = TonePlayer::start(player, server, sink,
                                            test_tone(seconds_of(TONE_LENGTH)), buffer_ms);
            return started + ONSET_AT + TONE_LENGTH + ONSET_AFTER;
        };
        const Measure m = run(b, stop_at, Source::SinkMonitor);
        player.stop();
        if (not_started) return std::unexpected("onset run: " + *not_started);
        if (!m.ok) return std::unexpected("onset run: " + m.failure);
        const auto span = tone_in(m);
        if (!span) return std::unexpected("onset run: " + span.error());
        f.onset_loss_ms = ms_of(TONE_LENGTH) - ms_of_frames(span->frames());
    }
    {
        TonePlayer player;
        const double seconds = seconds_of(LEAD_BEFORE + LEAD_RECORDING) + 2.0;
        if (auto failure = TonePlayer::start(player, server, sink, test_tone(seconds), buffer_ms)) {
            return std::unexpected("start-lead run: " + *failure);
        }
        const auto origin = player.wait_origin(ORIGIN_LIMIT);
        if (!origin) return std::unexpected("start-lead run: the tone player's timing is unknown");
        std::this_thread::sleep_until(*origin + LEAD_BEFORE);
        const Measure m = run(
            b, [](Clock::time_point started, Measure&) { return started + LEAD_RECORDING; },
            Source::SinkMonitor);
        player.stop();
        if (!m.ok) return std::unexpected("start-lead run: " + m.failure);
        const auto span = tone_in(m);
        if (!span) return std::unexpected("start-lead run: " + span.error());
        f.start_lead_ms = ms_of_frames(span->first_frame);
    }
    {
        TonePlayer player;
        std::vector<float> pcm(static_cast<std::size_t>(seconds_of(TAIL_TONE_AT) * RATE) * CHANNELS,
                               0.0f);
        const auto tail = test_tone(seconds_of(TAIL_BEFORE_SIGNAL) + 3.0);
        pcm.insert(pcm.end(), tail.begin(), tail.end());
        if (auto failure = TonePlayer::start(player, server, sink, std::move(pcm), buffer_ms)) {
            return std::unexpected("stop-tail run: " + *failure);
        }
        std::optional<Clock::time_point> tone_heard;
        const Measure m = run(
            b,
            [&](Clock::time_point started, Measure&) {
                const auto origin = player.wait_origin(ORIGIN_LIMIT);
                if (!origin) return started;
                tone_heard = *origin + TAIL_TONE_AT;
                return *tone_heard + TAIL_BEFORE_SIGNAL;
            },
            Source::SinkMonitor);
        player.stop();
        if (!tone_heard)
            return std::unexpected("stop-tail run: the tone player's timing is unknown");
        if (!m.ok) return std::unexpected("stop-tail run: " + m.failure);
        const auto span = tone_in(m);
        if (!span) return std::unexpected("stop-tail run: " + span.error());
        const double heard_ms = seconds_between(*tone_heard, m.signalled) * 1e3;
        f.stop_lost_ms = heard_ms - ms_of_frames(span->frames());
    }
    return f;
}

std::expected<SwitchGaps, std::string> measure_switch_gaps(RecorderRuns& b, const RunRecorder& run,
                                                           double plain_shortfall_ms) {
    const bool pipewire = b.options.pipewire;
    const auto length = SWITCH_SETTLE + SWITCHES * SWITCH_EVERY + SWITCH_EVERY;
    TonePlayer player;
    // No sink named: the tone plays on the default output and may follow it.
    if (auto failure =
            TonePlayer::start(player, b.daemon->server(), "", test_tone(seconds_of(length) + 5.0),
                              b.options.player_latency_ms)) {
        return std::unexpected("switch run: " + *failure);
    }
    if (!player.wait_origin(ORIGIN_LIMIT))
        return std::unexpected("switch run: the tone player's timing is unknown");
    std::vector<double> switch_ms;
    std::optional<std::string> failure;
    const Measure m = run(
        b,
        [&](Clock::time_point started, Measure&) {
            const std::string sinks[] = {SECOND_SINK, test_support::PulseDaemon::SINK_NAME};
            for (int k = 0; k < SWITCHES && !failure; ++k) {
                std::this_thread::sleep_until(started + SWITCH_SETTLE + k * SWITCH_EVERY);
                const std::string& to = sinks[k % 2];
                switch_ms.push_back(seconds_between(started, Clock::now()) * 1e3);
                // PipeWire's session manager moves the streams that follow the default;
                // on PulseAudio the desktop's part is ours.
                auto set = b.daemon->set_default_sink(to);
                if (set && !pipewire) set = b.daemon->move_players_to(to);
                if (!set) failure = set.error();
            }
            return started + length;
        },
        Source::DefaultOutput);
    player.stop();
    // Whatever happened, the next run starts from the first sink, the music playing there.
    if (failure) {
        (void)b.daemon->set_default_sink(test_support::PulseDaemon::SINK_NAME);
        if (!pipewire) (void)b.daemon->move_players_to(test_support::PulseDaemon::SINK_NAME);
        return std::unexpected("switch run: " + *failure);
    }
    if (!m.ok) return std::unexpected("switch run: " + m.failure);
    const auto pcm = decoded(m);
    if (!pcm) return std::unexpected("switch run: " + pcm.error());
    const auto levels =
        test_support::tone_levels(pcm->samples, 2, RATE, test_support::TONE_HZ, RATE / 1000);
    return switch_gaps(tone_present(levels, test_support::TONE_AMPLITUDE / 4), switch_ms,
                       SWITCH_REACH_MS,
                       (m.wall_seconds - m.recorded_seconds) * 1e3 - plain_shortfall_ms);
}

}  // namespace bench
