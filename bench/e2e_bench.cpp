// The helper against peer recorders, end to end, in one run.
//
// A private sound server (its own directory and socket, one null sink, no autospawn)
// plays a fixed music-like file in a loop into its sink. Each recorder then records the
// sink's monitor for the same time and is stopped with SIGINT, as the helper's parent
// stops it:
//   helper         velgo_marrinet_audio_helper --out F
//   ffmpeg         ffmpeg -f pulse -i <monitor> -c:a libopus F (its defaults otherwise)
//   ffmpeg 10 ms   the same with 10 ms fragments, the helper's
//   pipeline       parec (48 kHz stereo s16, 10 ms fragments) | opusenc --raw - F; with
//                  --server pipewire, pw-record (the sink's monitor, no latency asked) instead
//   baseline       with --baseline B, another build of the helper (before a change, say)
// For each: CPU seconds (user + system of every process, from wait4), peak resident
// memory (the sum of the processes' peaks for the pipeline), and the duration the file
// holds against the wall-clock time it was recording (bench/recorder_runs.h). Each round
// also times a bare opus_encode loop over the same music in this process, back to back and
// paced at real time (bench/bare_encoder.h): the encoder's own cost, which no recorder can
// go below. Rounds rotate the order; medians are compared (bench/e2e_report.h). Then the
// helper's stop latency: SIGINT to exit, repeated.
//
// What a recorder costs the sound server: the server's CPU time (/proc/<pid>/stat, every
// thread, 10 ms ticks) from just before the recorder starts until it has exited, less
// what the server spends without any recorder over as long: each round first measures
// the idle server (the music playing, nobody recording) over a shorter window and the
// rate is scaled. Recorder plus that extra is the recorder's cost to the whole machine.
// Halfway through each recording (and the idle window, so that the query's own cost
// cancels) "pactl list sinks" gives the sink's latency as the server reports it: how far
// ahead it renders, and what its clients asked for.
//
// With --server pipewire the server is a private PipeWire (pipewire, wireplumber and
// pipewire-pulse, whose CPU and context switches are added up), where the helper records
// through PipeWire's own protocol. The servers' added context switches per second are what
// each recorder adds over the idle rate.
//
// Fidelity, in shorter runs of each recorder in every round (bench/fidelity_probes.h): a
// new sound's onset, the start, the stop tail, and the gap at a switch of the default
// output, for which a second sink is loaded at the start.
//
// With --load N, the load mode instead (bench/load_run.h): N busy loops and a disk writer
// while every recorder, the helper at --nice, records a steady tone at once, and the share of
// 10 ms blocks each one misses against a reference recording of the same monitor.
//
// Not a test: it prints figures and ratios and fails only when something could not run.

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <unistd.h>

#include "bench/bare_encoder.h"
#include "bench/e2e_options.h"
#include "bench/e2e_report.h"
#include "bench/fidelity_probes.h"
#include "bench/load_run.h"
#include "bench/loop_player.h"
#include "bench/music_signal.h"
#include "bench/recorder.h"
#include "bench/recorder_runs.h"
#include "tests/support/child_process.h"
#include "tests/support/pulse_daemon.h"

#ifndef HELPER_BINARY
#error "HELPER_BINARY must name the helper executable"
#endif

using namespace bench;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t LOOP_SECONDS = 10;
// The idle server's window in each round: at most this long (shorter with --secs).
constexpr int IDLE_SECONDS = 10;

}  // namespace

int main(int argc, char** argv) {
    const auto parsed = parse_options(argc, argv, HELPER_BINARY);
    if (!parsed) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    // The loop player writes into a pipe whose reader may go away.
    std::signal(SIGPIPE, SIG_IGN);

    const bool pipewire = parsed->pipewire;
    const std::vector<const char*> tools =
        pipewire ? std::vector<const char*>{"pipewire", "pacat", "pw-record", "opusenc", "ffmpeg"}
                 : std::vector<const char*>{"pulseaudio", "pacat", "parec", "opusenc", "ffmpeg"};
    // Under load ffmpeg is one more peer, measured where it is there.
    const bool ffmpeg = test_support::find_on_path("ffmpeg").has_value();
    for (const char* tool : tools) {
        if (parsed->load_loops > 0 && std::string_view(tool) == "ffmpeg") continue;
        if (!test_support::find_on_path(tool)) {
            std::fprintf(stderr, "e2e_bench: %s not found; run scripts/install-bench-deps.sh\n",
                         tool);
            return 1;
        }
    }
    if (::access(parsed->helper.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "e2e_bench: helper %s is not executable\n", parsed->helper.c_str());
        return 1;
    }

    auto daemon = test_support::PulseDaemon::start(
        {.server =
             pipewire ? test_support::ServerKind::PipeWire : test_support::ServerKind::PulseAudio});
    if (!daemon) {
        std::fprintf(stderr, "e2e_bench: %s\n", daemon.error().c_str());
        return 1;
    }
    // The sink the switch runs switch the default output to and back from.
    if (auto second = (*daemon)->load_sink(SECOND_SINK); !second) {
        std::fprintf(stderr, "e2e_bench: second sink: %s\n", second.error().c_str());
        return 1;
    }
    if (auto first = (*daemon)->set_default_sink(test_support::PulseDaemon::SINK_NAME); !first) {
        std::fprintf(stderr, "e2e_bench: default sink: %s\n", first.error().c_str());
        return 1;
    }
    RecorderRuns bench;
    bench.daemon = daemon->get();
    bench.options = *parsed;
    bench.dir = (*daemon)->directory();
    bench.monitor = std::string(test_support::PulseDaemon::SINK_NAME) + ".monitor";
    const char* path = std::getenv("PATH");
    bench.env = {
        std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin"),
        "HOME=" + bench.dir,
        "XDG_RUNTIME_DIR=" + bench.dir,
        "XDG_CONFIG_HOME=" + bench.dir,
        "PULSE_SERVER=" + (*daemon)->server(),
        "PULSE_CLIENTCONFIG=" + (*daemon)->client_config(),
        "LANG=C",
    };

    std::vector<Recorder> recorders = all_recorders(bench.options);
    if (bench.options.load_loops > 0) {
        if (!ffmpeg) {
            std::printf("ffmpeg not found: measured without it\n");
            std::erase_if(recorders, [](const Recorder& r) {
                return std::string_view(r.name).starts_with("ffmpeg");
            });
        }
        return run_under_load(bench, recorders);
    }

    const std::string music = bench.dir + "/music.f32";
    const auto pcm = music_like_stereo(RATE, LOOP_SECONDS);
    {
        std::ofstream file(music, std::ios::binary);
        file.write(reinterpret_cast<const char*>(pcm.data()),
                   static_cast<std::streamsize>(pcm.size() * sizeof(float)));
        if (!file) {
            std::fprintf(stderr, "e2e_bench: cannot write %s\n", music.c_str());
            return 1;
        }
    }
    LoopPlayer player;
    if (auto failed =
            LoopPlayer::start(player, music, test_support::PulseDaemon::SINK_NAME, bench.env,
                              bench.dir + "/pacat.log", bench.options.player_latency_ms)) {
        std::fprintf(stderr, "e2e_bench: player: %s\n", failed->c_str());
        return 1;
    }
    std::this_thread::sleep_for(1s);

    const std::string load_before = load_average();
    std::printf(
        "e2e_bench: %d s recordings of %s on %s (48 kHz stereo, a %u s music-like file in a "
        "loop, player buffer %s), %d rounds; private server in %s\n",
        bench.options.seconds, bench.monitor.c_str(), pipewire ? "PipeWire" : "PulseAudio",
        LOOP_SECONDS,
        bench.options.player_latency_ms > 0
            ? (std::to_string(bench.options.player_latency_ms) + " ms").c_str()
            : "pacat's default",
        bench.options.rounds, bench.dir.c_str());
    std::printf("load average at start: %s\n", load_before.c_str());
    std::fflush(stdout);

    auto dump_logs = [&] {
        for (const char* log : {"helper.log", "ffmpeg.log", "parec.log", "opusenc.log"}) {
            const std::string text = read_file(bench.dir + "/" + log);
            if (!text.empty()) std::fprintf(stderr, "--- %s\n%s", log, text.c_str());
        }
    };
    // Rotating the order spreads whatever else the machine does over all of them.
    auto in_turn = [&](int round, std::size_t k) -> Recorder& {
        return recorders[(k + static_cast<std::size_t>(round)) % recorders.size()];
    };
    RoundFigures rounds;
    for (int round = 0; round < bench.options.rounds; ++round) {
        std::printf("round %d\n", round + 1);
        const Idle idle = bench.idle(std::min(bench.options.seconds, IDLE_SECONDS));
        rounds.idles.push_back(idle);
        print_idle(idle);
        const double hot = bare_encoder_cpu(pcm, bench.options.seconds, false);
        const double paced = bare_encoder_cpu(pcm, bench.options.seconds, true);
        if (hot < 0 || paced < 0) {
            std::fprintf(stderr, "e2e_bench: the bare encoder failed\n");
            return 1;
        }
        rounds.hot_encoder.push_back(hot);
        rounds.paced_encoder.push_back(paced);
        print_bare_encoder(hot, paced, bench.options.seconds);
        for (std::size_t k = 0; k < recorders.size(); ++k) {
            Recorder& r = in_turn(round, k);
            if (!player.playing()) {
                std::fprintf(stderr, "e2e_bench: the loop player stopped\n");
                return 1;
            }
            Measure m = r.run(bench, {}, Source::SinkMonitor);
            if (!m.ok) {
                std::fprintf(stderr, "e2e_bench: %s failed: %s\n", r.name, m.failure.c_str());
                dump_logs();
                return 1;
            }
            m.server_extra_seconds =
                server_extra_seconds(m.server_cpu_seconds, m.server_window_seconds,
                                     idle.cpu_seconds, idle.window_seconds);
            m.server_extra_switches_per_second =
                m.server_switches / m.server_window_seconds - idle.switches / idle.window_seconds;
            print_measure(r.name, m);
            r.measures.push_back(m);
        }
        // A peer's fidelity is context; the helper's is what the run is for, so only the
        // helper's failure ends the run.
        auto failed_run = [&](const Recorder& r, const char* what, const std::string& error) {
            if (!std::string_view(r.name).starts_with("helper")) {
                std::printf("  %-16s %s not measured: %s\n", r.name, what, error.c_str());
                return false;
            }
            std::fprintf(stderr, "e2e_bench: %s %s: %s\n", r.name, what, error.c_str());
            dump_logs();
            return true;
        };
        for (std::size_t k = 0; k < recorders.size(); ++k) {
            Recorder& r = in_turn(round, k);
            const auto f = measure_fidelity(bench, r.run);
            if (!f) {
                if (failed_run(r, "fidelity", f.error())) return 1;
                continue;
            }
            print_fidelity(r.name, *f);
            r.fidelity.push_back(*f);
        }
        for (std::size_t k = 0; k < recorders.size(); ++k) {
            Recorder& r = in_turn(round, k);
            const Measure& plain = r.measures.back();
            const auto gaps = measure_switch_gaps(
                bench, r.run, (plain.wall_seconds - plain.recorded_seconds) * 1e3);
            if (!gaps) {
                if (failed_run(r, "switch gap", gaps.error())) return 1;
                continue;
            }
            print_switches(r.name, *gaps);
            r.switches.push_back(*gaps);
        }
    }

    for (int run = 0; run < bench.options.stop_runs; ++run) {
        std::string failure;
        const auto ms = bench.stop_latency_ms(failure);
        if (!ms) {
            std::fprintf(stderr, "e2e_bench: stop run %d failed: %s\n", run + 1, failure.c_str());
            return 1;
        }
        rounds.stop_latencies.push_back(*ms);
    }
    const std::uint64_t loops = player.loops();
    player.stop();

    print_summary(bench.options, recorders, rounds);
    std::printf("loop player: %llu plays of the %u s file; load average at end: %s\n",
                static_cast<unsigned long long>(loops), LOOP_SECONDS, load_average().c_str());
    return 0;
}
