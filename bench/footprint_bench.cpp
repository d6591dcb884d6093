// What the helper costs beyond its encoder, in measures the machine's load does not sway.
//
// A private PulseAudio (its own directory and socket, one null sink; with --shared-memory yes
// it shares memory with its clients, as a desktop's server does) plays the benchmarks'
// music-like signal, and each helper given (--helper, and --baseline for before and after
// in one run) records it twice for --secs:
//   natively   each thread's wake-ups (voluntary context switches) per second and per 40 ms
//              fragment, and its preemptions (involuntary ones, the machine's load), from
//              /proc/<pid>/task, from 2 s in to 1 s before the end; the peak resident
//              memory (VmHWM) and the resident KiB per mapped file, read 1 s before the end;
//   counted    with bench/allocation_counter.c preloaded: the whole process's heap
//              allocations per second and per fragment over the same window as natively;
//   callgrind  under valgrind --tool=callgrind: the whole process's instructions over
//              those inside opus_encode (callgrind_annotate --inclusive=yes), one run, so
//              start-up, libpulse, the bridge, conversion and the Ogg writer all count.
// Not a test: it prints figures and fails only when something could not run.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/music_signal.h"
#include "bench/process_footprint.h"
#include "tests/support/child_process.h"
#include "tests/support/pulse_daemon.h"

#ifndef HELPER_BINARY
#error "HELPER_BINARY must name the helper executable"
#endif
#ifndef ALLOCATION_COUNTER
#error "ALLOCATION_COUNTER must name the allocation counter to preload"
#endif

namespace {

using namespace std::chrono_literals;
using test_support::ChildProcess;
using test_support::PulseDaemon;

constexpr std::uint32_t RATE = 48000;
constexpr double FRAGMENT_SECONDS = 0.040;
constexpr int MAPPINGS_SHOWN = 12;

struct Options {
    std::vector<std::string> helpers{HELPER_BINARY};
    int seconds = 10;
    bool shared_memory = false;
    test_support::ServerKind server = test_support::ServerKind::PulseAudio;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::optional<Options> parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--helper") {
            options.helpers.front() = value;
        } else if (name == "--baseline") {
            options.helpers.push_back(value);
        } else if (name == "--server" && (value == "pulseaudio" || value == "pipewire")) {
            options.server = value == "pipewire" ? test_support::ServerKind::PipeWire
                                                 : test_support::ServerKind::PulseAudio;
        } else if (name == "--shared-memory" && (value == "yes" || value == "no")) {
            options.shared_memory = value == "yes";
        } else if (name == "--secs") {
            options.seconds = std::atoi(value.c_str());
            if (options.seconds < 4 || options.seconds > 600) return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    if (argc % 2 == 0) return std::nullopt;
    return options;
}

struct Bench {
    Options options;
    PulseDaemon* daemon = nullptr;
    std::vector<std::string> env;
    std::vector<float> music;
    int runs = 0;

    std::string next_path(const std::string& stem) {
        return daemon->directory() + "/" + stem + "-" + std::to_string(runs++);
    }

    // Plays the music for one recording; the sink's render-ahead of idle silence passes first.
    std::optional<test_support::PcmPlayer> play() {
        auto player = daemon->play_pcm(music, RATE, 2);
        if (!player) {
            std::fprintf(stderr, "footprint_bench: player: %s\n", player.error().c_str());
            return std::nullopt;
        }
        std::this_thread::sleep_for(PulseDaemon::IDLE_RENDER_AHEAD);
        return std::move(*player);
    }

    std::vector<std::string> helper_argv(const std::string& helper) {
        return {helper, "--out", next_path("out") + ".opus", "--secs",
                std::to_string(options.seconds)};
    }

    // Records once with `helper_env`: calls begin(pid) 2 s in and end(pid, seconds since
    // begin) 1 s before the deadline. False when the helper could not run or did not end well.
    template <class Begin, class End>
    bool sampled_run(const std::string& helper, const std::vector<std::string>& helper_env,
                     Begin begin, End end) {
        auto player = play();
        if (!player) return false;
        auto child = ChildProcess::spawn(helper_argv(helper), helper_env,
                                         {.log_path = daemon->directory() + "/helper.log"});
        if (!child) {
            std::fprintf(stderr, "footprint_bench: %s\n", child.error().c_str());
            return false;
        }
        const auto started = std::chrono::steady_clock::now();
        std::this_thread::sleep_until(started + 2s);
        begin(child->pid());
        const auto from = std::chrono::steady_clock::now();
        std::this_thread::sleep_until(started + std::chrono::seconds(options.seconds - 1));
        end(child->pid(),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count());
        const auto usage = child->wait_at_most(std::chrono::seconds(options.seconds + 30));
        player->stop();
        if (usage.status != 0) {
            std::fprintf(stderr, "footprint_bench: the helper ended with %d\n", usage.status);
            return false;
        }
        return true;
    }

    bool native(const std::string& helper) {
        std::vector<bench::ThreadSwitches> first, last;
        std::optional<long> peak;
        std::vector<bench::MappedFile> files;
        double window = 0;
        pid_t main_thread = 0;
        const bool ran = sampled_run(
            helper, env,
            [&](pid_t pid) {
                main_thread = pid;
                first = bench::thread_switches(pid);
            },
            [&](pid_t pid, double seconds) {
                last = bench::thread_switches(pid);
                window = seconds;
                peak = bench::peak_rss_kib(pid);
                files = bench::parse_smaps_by_file(
                    read_file("/proc/" + std::to_string(pid) + "/smaps"));
            });
        if (!ran) return false;

        std::printf("  peak RSS (VmHWM, 1 s before the end): %ld KiB\n", peak.value_or(-1));
        std::printf("  resident KiB by mapped file (anonymous as \"-\"):\n");
        for (int i = 0; i < MAPPINGS_SHOWN && i < static_cast<int>(files.size()); ++i) {
            std::printf("    %6ld %s\n", files[i].rss_kib,
                        files[i].path.empty() ? "-" : files[i].path.c_str());
        }
        std::printf("  wake-ups over %.1f s, per s and per 40 ms fragment (preemptions per s):\n",
                    window);
        std::map<pid_t, bench::ThreadSwitches> before;
        for (const auto& t : first) before[t.tid] = t;
        for (const auto& t : last) {
            if (!before.contains(t.tid)) continue;
            const double wakes =
                static_cast<double>(t.voluntary - before[t.tid].voluntary) / window;
            const double preempted =
                static_cast<double>(t.involuntary - before[t.tid].involuntary) / window;
            std::printf("    %-8d %-16s %6.1f /s  %5.2f /fragment  (%5.1f /s)%s\n", t.tid,
                        t.name.c_str(), wakes, wakes * FRAGMENT_SECONDS, preempted,
                        t.tid == main_thread ? "  (main)" : "");
        }
        return true;
    }

    bool allocations(const std::string& helper) {
        const std::string count_path = next_path("allocations");
        std::ofstream(count_path, std::ios::binary).write("\0\0\0\0\0\0\0\0", 8);
        const auto read_count = [&] {
            std::uint64_t count = 0;
            std::ifstream(count_path, std::ios::binary)
                .read(reinterpret_cast<char*>(&count), sizeof count);
            return count;
        };
        auto counted_env = env;
        counted_env.push_back(std::string("LD_PRELOAD=") + ALLOCATION_COUNTER);
        counted_env.push_back("VMAH_ALLOCATION_COUNTER=" + count_path);
        std::uint64_t first = 0, last = 0;
        double window = 0;
        const bool ran = sampled_run(
            helper, counted_env, [&](pid_t) { first = read_count(); },
            [&](pid_t, double seconds) {
                last = read_count();
                window = seconds;
            });
        if (!ran) return false;
        const double rate = static_cast<double>(last - first) / window;
        std::printf("  heap allocations, whole process, over %.1f s: %.1f /s  %.2f /fragment\n",
                    window, rate, rate * FRAGMENT_SECONDS);
        return true;
    }

    bool instructions(const std::string& helper) {
        auto player = play();
        if (!player) return false;
        const std::string profile = next_path("callgrind") + ".out";
        std::vector<std::string> argv = {"valgrind", "--tool=callgrind",
                                         "--callgrind-out-file=" + profile};
        for (auto& arg : helper_argv(helper)) argv.push_back(std::move(arg));
        auto child =
            ChildProcess::spawn(argv, env, {.log_path = daemon->directory() + "/callgrind.log"});
        if (!child) {
            std::fprintf(stderr, "footprint_bench: %s\n", child.error().c_str());
            return false;
        }
        const auto usage = child->wait_at_most(std::chrono::seconds(options.seconds * 10 + 60));
        player->stop();
        auto annotate = ChildProcess::spawn({"callgrind_annotate", "--inclusive=yes", profile}, env,
                                            test_support::PIPED);
        if (usage.status != 0 || !annotate) {
            std::fprintf(stderr, "footprint_bench: callgrind run failed (%d)\n", usage.status);
            return false;
        }
        const auto annotated = annotate->finish(60s);
        const auto total = bench::parse_callgrind_total(read_file(profile));
        const auto encoder = bench::parse_inclusive_count(annotated.out, "opus_encode");
        if (!total || !encoder || *encoder == 0) {
            std::fprintf(stderr, "footprint_bench: no instruction counts in %s\n", profile.c_str());
            return false;
        }
        std::printf(
            "  instructions: whole process %.1f M, inside opus_encode %.1f M, "
            "outside %.1f M; whole/encoder %.4f\n",
            static_cast<double>(*total) / 1e6, static_cast<double>(*encoder) / 1e6,
            static_cast<double>(*total - *encoder) / 1e6,
            static_cast<double>(*total) / static_cast<double>(*encoder));
        return true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    const auto options = parse_options(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: footprint_bench [--secs 4..600] [--server pulseaudio|pipewire] "
                     "[--shared-memory yes|no] [--helper HELPER] "
                     "[--baseline HELPER]...\n");
        return 2;
    }
    if (!test_support::find_on_path("valgrind") ||
        !test_support::find_on_path("callgrind_annotate")) {
        std::fprintf(stderr, "footprint_bench: needs valgrind and callgrind_annotate\n");
        return 1;
    }
    auto daemon =
        PulseDaemon::start({.server = options->server, .shared_memory = options->shared_memory});
    if (!daemon) {
        std::fprintf(stderr, "footprint_bench: %s\n", daemon.error().c_str());
        return 1;
    }
    Bench bench;
    bench.options = *options;
    bench.daemon = daemon->get();
    const std::string dir = (*daemon)->directory();
    const char* path = std::getenv("PATH");
    bench.env = {std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin"),
                 "HOME=" + dir,
                 "XDG_RUNTIME_DIR=" + dir,
                 "XDG_CONFIG_HOME=" + dir,
                 "PULSE_SERVER=" + (*daemon)->server(),
                 "PULSE_CLIENTCONFIG=" + (*daemon)->client_config(),
                 "LANG=C"};
    const auto render_ahead =
        std::chrono::ceil<std::chrono::seconds>(PulseDaemon::IDLE_RENDER_AHEAD);
    bench.music = bench::music_like_stereo(
        RATE, static_cast<std::uint32_t>(options->seconds + render_ahead.count() + 2));

    std::printf("footprint_bench: %d s recordings of music on a private %s (%s)\n",
                options->seconds,
                options->server == test_support::ServerKind::PipeWire ? "PipeWire" : "PulseAudio",
                options->shared_memory ? "shared memory" : "audio over the socket");
    for (const auto& helper : options->helpers) {
        std::printf("%s\n", helper.c_str());
        if (!bench.native(helper) || !bench.allocations(helper) || !bench.instructions(helper))
            return 1;
    }
    return 0;
}
