#include "bench/load_run.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <expected>
#include <string>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "bench/e2e_report.h"
#include "bench/switch_gap.h"
#include "bench/tone_player.h"
#include "tests/support/decoded_audio.h"
#include "tests/support/tone_meter.h"

namespace bench {

namespace {

using namespace std::chrono_literals;
using test_support::ChildProcess;

// The load and the tone run this long before the recorders start.
constexpr auto SETTLE = 2s;
// Past the round's own length, the load stops by itself even if nothing stops it.
constexpr auto LOAD_MARGIN = 60s;
constexpr auto EXIT_LIMIT = 30s;
// The reference's and the player's, where they may have it: below what a server's own
// real-time threads ask for.
constexpr int REALTIME_PRIORITY = 50;
constexpr std::size_t BLOCK_FRAMES = RATE / 100;
constexpr std::size_t CHUNK = 1 << 20;
constexpr std::uint64_t SYNC_EVERY = 16 * CHUNK;
constexpr std::uint64_t FILE_LIMIT = 256 * CHUNK;

// `loops` threads spinning and one writing to `path`, flushing to disk every 16 MiB and
// starting over at 256 MiB, until stop() or `deadline`, whichever comes first.
class Load {
public:
    Load(int loops, std::string path, Clock::time_point deadline)
        : path_(std::move(path)), deadline_(deadline) {
        for (int k = 0; k < loops; ++k) threads_.emplace_back([this] { spin(); });
        threads_.emplace_back([this] { write(); });
    }
    Load(const Load&) = delete;
    Load& operator=(const Load&) = delete;
    ~Load() { stop(); }

    void stop() {
        stopped_.store(true);
        for (auto& t : threads_) {
            if (t.joinable()) t.join();
        }
    }
    double written_mib() const { return static_cast<double>(written_.load()) / CHUNK; }
    bool write_failed() const { return write_failed_.load(); }

private:
    bool going() const {
        return !stopped_.load(std::memory_order_relaxed) && Clock::now() < deadline_;
    }

    void spin() const {
        std::uint64_t x = 1;
        while (going()) {
            for (int i = 0; i < 1000000; ++i) {
                x = x * 6364136223846793005ULL + 1442695040888963407ULL;
                asm volatile("" : "+r"(x));
            }
        }
    }

    void write() {
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) {
            write_failed_.store(true);
            return;
        }
        const std::vector<char> chunk(CHUNK, 'x');
        std::uint64_t in_file = 0;
        while (going()) {
            if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
                write_failed_.store(true);
                break;
            }
            written_ += CHUNK;
            in_file += CHUNK;
            if (in_file % SYNC_EVERY == 0) ::fdatasync(fd);
            if (in_file >= FILE_LIMIT) {
                if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
                    write_failed_.store(true);
                    break;
                }
                in_file = 0;
            }
        }
        ::close(fd);
        ::unlink(path_.c_str());
    }

    std::string path_;
    Clock::time_point deadline_;
    std::atomic<bool> stopped_{false};
    std::atomic<bool> write_failed_{false};
    std::atomic<std::uint64_t> written_{0};
    std::vector<std::thread> threads_;
};

std::vector<float> raw_s16(const std::string& path) {
    const std::string bytes = read_file(path);
    std::vector<float> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::int16_t v = 0;
        std::memcpy(&v, bytes.data() + 2 * i, 2);
        samples[i] = static_cast<float>(v) / 32768.0f;
    }
    return samples;
}

// The server's own recorder on the sink's monitor, raw 16-bit PCM into `path`, under
// `prefix` (chrt, or nothing).
std::expected<ChildProcess, std::string> start_reference(const RecorderRuns& b,
                                                         const std::vector<std::string>& prefix,
                                                         const std::string& path) {
    std::vector<std::string> argv = prefix;
    if (b.options.pipewire) {
        argv.insert(argv.end(),
                    {"pw-record", "--target", test_support::PulseDaemon::SINK_NAME, "-P",
                     "{ stream.capture.sink=true }", "--rate", std::to_string(RATE), "--channels",
                     std::to_string(CHANNELS), "--format", "s16", "-"});
    } else {
        argv.insert(argv.end(),
                    {"parec", "--device=" + b.monitor, "--rate=" + std::to_string(RATE),
                     "--channels=" + std::to_string(CHANNELS), "--format=s16le", "--raw",
                     "--latency-msec=10", "--client-name=vmah-bench-reference"});
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return std::unexpected("cannot create " + path);
    auto child = ChildProcess::spawn(
        argv, b.env,
        test_support::SpawnOptions{.stdout_fd = fd, .log_path = b.dir + "/reference.log"});
    ::close(fd);
    return child;
}

// chrt -f where it works here (root, or a real-time limit), else nothing.
std::vector<std::string> realtime_prefix(const RecorderRuns& b) {
    const std::vector<std::string> prefix = {"chrt", "-f", std::to_string(REALTIME_PRIORITY)};
    if (!test_support::find_on_path("chrt")) return {};
    std::vector<std::string> argv = prefix;
    argv.push_back("true");
    auto probe = ChildProcess::spawn(argv, b.env);
    if (!probe || probe->wait_at_most(EXIT_LIMIT).status != 0) return {};
    return prefix;
}

bool is_helper(const Recorder& r) { return std::string_view(r.name).starts_with("helper"); }

}  // namespace

int run_under_load(RecorderRuns& b, std::vector<Recorder>& recorders) {
    const auto prefix = realtime_prefix(b);
    std::printf(
        "e2e_bench load mode: %d busy loops and a disk writer; every recorder records a steady "
        "%.0f Hz tone on %s for %d s at once, %d rounds; helper at nice %d; reference: %s%s\n",
        b.options.load_loops, test_support::TONE_HZ, b.monitor.c_str(), b.options.seconds,
        b.options.rounds, b.options.helper_nice, b.options.pipewire ? "pw-record" : "parec",
        prefix.empty() ? " (no real-time priority to be had)" : " at SCHED_FIFO");
    std::printf("load average at start: %s\n", load_average().c_str());
    std::fflush(stdout);
    std::vector<std::vector<double>> shares(recorders.size());
    for (int round = 0; round < b.options.rounds; ++round) {
        const auto length = std::chrono::seconds(b.options.seconds);
        Load load(b.options.load_loops, b.dir + "/load.bin",
                  Clock::now() + SETTLE + length + LOAD_MARGIN);
        TonePlayer player;
        const double tone_seconds = std::chrono::duration<double>(SETTLE + length).count() + 30;
        if (auto failure = TonePlayer::start(
                player, b.daemon->server(), test_support::PulseDaemon::SINK_NAME,
                test_support::tone(test_support::TONE_HZ, test_support::TONE_AMPLITUDE,
                                   tone_seconds, RATE, CHANNELS),
                b.options.player_latency_ms)) {
            std::fprintf(stderr, "e2e_bench: %s\n", failure->c_str());
            return 1;
        }
        // The player at real-time priority too, where it can have it: blocks it fails to
        // fill count against no one, but leave less to measure.
        const bool player_realtime = !prefix.empty() && player.make_realtime(REALTIME_PRIORITY);
        std::this_thread::sleep_for(SETTLE);
        const std::string raw = b.dir + "/reference-" + std::to_string(round) + ".raw";
        auto reference = start_reference(b, prefix, raw);
        if (!reference) {
            std::fprintf(stderr, "e2e_bench: reference: %s\n", reference.error().c_str());
            return 1;
        }
        const auto reference_started = Clock::now();
        const auto stop = reference_started + length;
        const StopAt stop_at = [stop](Clock::time_point, Measure&) { return stop; };
        std::vector<Measure> measures(recorders.size());
        Clock::time_point reference_stopped;
        {
            std::vector<std::jthread> runs;
            // The reference stops when the recorders are signalled, not once they have exited.
            runs.emplace_back([&] {
                std::this_thread::sleep_until(stop);
                reference_stopped = Clock::now();
                reference->signal(SIGINT);
            });
            for (std::size_t k = 0; k < recorders.size(); ++k) {
                runs.emplace_back(
                    [&, k] { measures[k] = recorders[k].run(b, stop_at, Source::SinkMonitor); });
            }
        }
        reference->wait_at_most(EXIT_LIMIT);
        player.stop();
        load.stop();
        const double reference_blocks =
            std::chrono::duration<double>(reference_stopped - reference_started).count() * 100;
        const std::size_t reference_present =
            tone_blocks(raw_s16(raw), CHANNELS, RATE, BLOCK_FRAMES);
        std::printf(
            "round %d: load wrote %.0f MiB%s; player %s; load average %s; reference: tone in %zu "
            "of %.0f blocks (%.2f %% missing)\n",
            round + 1, load.written_mib(), load.write_failed() ? " (a write failed)" : "",
            player_realtime ? "at SCHED_FIFO" : "at normal priority", load_average().c_str(),
            reference_present, reference_blocks,
            100 * missing_share(reference_present, reference_blocks, 1, 1));
        if (reference_present == 0) {
            std::fprintf(stderr, "e2e_bench: the reference recorded no tone (see %s)\n",
                         (b.dir + "/reference.log").c_str());
            return 1;
        }
        for (std::size_t k = 0; k < recorders.size(); ++k) {
            Recorder& r = recorders[k];
            const Measure& m = measures[k];
            auto pcm = m.ok ? test_support::decode_opus_file(m.out)
                            : std::unexpected<std::string>(m.failure);
            if (!pcm) {
                std::fprintf(is_helper(r) ? stderr : stdout, "  %-20s not measured: %s\n", r.name,
                             pcm.error().c_str());
                if (is_helper(r)) return 1;
                continue;
            }
            const std::size_t present = tone_blocks(pcm->samples, CHANNELS, RATE, BLOCK_FRAMES);
            const double share =
                missing_share(present, m.wall_seconds * 100, reference_present, reference_blocks);
            shares[k].push_back(share);
            r.measures.push_back(m);
            // The same against the time the file holds: what is missing within it (silence)
            // rather than time it lacks (a late start, an early end, time dropped).
            const double within = missing_share(present, m.recorded_seconds * 100,
                                                reference_present, reference_blocks);
            std::printf(
                "  %-20s missing %6.2f %% of 10 ms blocks, %.2f %% within the file (tone in %zu, "
                "wall %.2f s, recorded %.2f s)  cpu %.3f s\n",
                r.name, 100 * share, 100 * within, present, m.wall_seconds, m.recorded_seconds,
                m.cpu_seconds);
        }
        std::fflush(stdout);
    }
    std::printf("missing blocks over %d rounds: median (each round)\n", b.options.rounds);
    for (std::size_t k = 0; k < recorders.size(); ++k) {
        std::printf("  %-20s %6.2f %%  (", recorders[k].name, 100 * median(shares[k]));
        for (std::size_t i = 0; i < shares[k].size(); ++i) {
            std::printf("%s%.2f", i == 0 ? "" : " ", 100 * shares[k][i]);
        }
        std::printf(")\n");
    }
    std::printf("load average at end: %s\n", load_average().c_str());
    return 0;
}

}  // namespace bench
