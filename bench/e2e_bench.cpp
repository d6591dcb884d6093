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
// holds against the wall-clock time it was recording. Each round also times a bare
// opus_encode loop over the same music in this process, back to back and paced at real
// time: the encoder's own cost, which no recorder can go below. Rounds rotate the order;
// medians are compared. Then the helper's stop latency: SIGINT to exit, repeated.
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
// Fidelity, in shorter runs of each recorder in every round, with the music still
// playing underneath and a 5 kHz tone (above all of the music) played by a second client
// of the server that knows when each of its frames is heard (bench/tone_player.h). The
// tone is found in the decoded file by its level in 1 ms windows (tests/support/tone_meter.h).
//   onset loss  a new stream plays a 1 s tone 2.5 s into a recording: 1000 ms less the
//               tone's length in the file. A sink renders ahead of what is heard; a new
//               stream makes it render that span again, which its monitor had already
//               sent, so what a recorder loses here is the server's fragment or more.
//   start lead  the tone has been heard for 0.7 s when the recorder starts, and goes on:
//               the time from the file's first sample to the tone's, i.e. the start of
//               the recording that holds nothing of a sound already playing. A recorder
//               that drops the time before its first data instead shows a short file in
//               recorded/wall, not a lead.
//   stop tail   the tone starts in a stream that is already playing (so its onset loses
//               nothing) at a frame whose heard time is known, and SIGINT comes 1 s of
//               heard tone later while it goes on. The tone's length in the file from its
//               onset to its recorded end, against the time from its onset being heard to
//               the signal: what falls short is the audio heard before SIGINT that the
//               file lacks (negative: the file holds audio rendered after the signal).
//               Of the last 100 ms before SIGINT, 100 less that is kept.
//
// Not a test: it prints figures and ratios and fails only when something could not run.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <opus.h>
#include <time.h>
#include <unistd.h>

#include "bench/music_signal.h"
#include "bench/server_cost.h"
#include "bench/tone_player.h"
#include "tests/support/child_process.h"
#include "tests/support/decoded_audio.h"
#include "tests/support/ogg_reading.h"
#include "tests/support/pulse_daemon.h"
#include "tests/support/tone_meter.h"
#include "util/write_all.h"

#ifndef HELPER_BINARY
#error "HELPER_BINARY must name the helper executable"
#endif
#ifndef MEASURED_LAUNCH
#error "MEASURED_LAUNCH must name the measured_launch executable"
#endif

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test_support::ChildProcess;
using test_support::Pipe;
using test_support::SpawnOptions;
using test_support::Usage;

constexpr std::uint32_t RATE = 48000;
constexpr std::uint32_t CHANNELS = 2;
constexpr std::uint32_t LOOP_SECONDS = 10;
constexpr auto EXIT_LIMIT = 30s;
// How long a stop-latency run records before its SIGINT: long enough to be recording.
constexpr auto STOP_SETTLE = 1000ms;
// The idle server's window in each round: at most this long (shorter with --secs).
constexpr int IDLE_SECONDS = 10;
// Fidelity runs. Onset: the 1 s tone starts this far into the recording (past the wait
// for a monitor's first data with a player buffering 2 s) and the recording goes on this
// long after it.
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
constexpr double LAST_MS = 100;  // the stop tail's span before SIGINT

struct Options {
    std::string helper = HELPER_BINARY;
    std::string baseline;  // another build of the helper, measured alongside, for before and after
    int seconds = 20;
    int rounds = 3;
    int stop_runs = 20;
    int player_latency_ms = 0;  // 0: pacat's default buffer (about 2 s)
    bool pipewire = false;
};

struct Measure {
    bool ok = false;
    std::string failure;
    double cpu_seconds = 0;
    double max_rss_mib = 0;
    long context_switches = 0;    // of every process, each thread's
    double wall_seconds = 0;      // start to SIGINT
    double recorded_seconds = 0;  // what the file holds
    double kbit_per_second = 0;
    std::optional<double> reported_seconds;  // the helper's own "OK" figure
    // The sound server over the window from just before the start until every process
    // has exited; the extra is filled in against the round's idle rate.
    double server_cpu_seconds = 0;
    double server_window_seconds = 0;
    double server_extra_seconds = 0;
    double server_switches = 0;
    double server_extra_switches_per_second = 0;
    std::optional<bench::SinkLatency> sink_latency;  // mid-recording
    std::string out;
    Clock::time_point signalled;

    double switches_per_second() const {
        return wall_seconds > 0 ? static_cast<double>(context_switches) / wall_seconds : 0;
    }
    double recorded_over_wall() const {
        return wall_seconds > 0 ? recorded_seconds / wall_seconds : 0;
    }
    // What the recorder costs the machine: its own CPU and what it added to the server's.
    double system_cpu_seconds() const { return cpu_seconds + server_extra_seconds; }
};

// When to send SIGINT, given the start; it may do what the run needs meanwhile. Empty:
// after --secs, with the sink's latency sampled halfway.
using StopAt = std::function<Clock::time_point(Clock::time_point started, Measure& m)>;

struct Idle {
    double cpu_seconds = 0;
    double switches = 0;
    double window_seconds = 0;
    std::optional<bench::SinkLatency> sink_latency;
};

// A recorder's fidelity in one round, in ms (see the top of this file).
struct Fidelity {
    double onset_loss_ms = 0;
    double start_lead_ms = 0;
    double stop_lost_ms = 0;
    double last_kept_ms() const { return std::clamp(LAST_MS - stop_lost_ms, 0.0, LAST_MS); }
};

Measure failed(std::string why) {
    Measure m;
    m.failure = std::move(why);
    return m;
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

double mib(long kib) { return static_cast<double>(kib) / 1024.0; }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string load_average() {
    std::string text = read_file("/proc/loadavg");
    const auto cut = text.find(' ', text.find(' ', text.find(' ') + 1) + 1);
    return cut == std::string::npos ? text : text.substr(0, cut);
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::optional<int> parse_count(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 100000)
        return std::nullopt;
    return static_cast<int>(value);
}

std::optional<Options> parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) return std::nullopt;
        const char* value = argv[++i];
        if (name == "--server") {
            if (std::string(value) != "pipewire" && std::string(value) != "pulseaudio")
                return std::nullopt;
            options.pipewire = std::string(value) == "pipewire";
            continue;
        }
        if (name == "--helper" || name == "--baseline") {
            (name == "--helper" ? options.helper : options.baseline) = value;
            continue;
        }
        const auto count = parse_count(value);
        if (!count || (*count == 0 && name != "--player-latency-ms")) return std::nullopt;
        if (name == "--secs") {
            options.seconds = *count;
        } else if (name == "--rounds") {
            options.rounds = *count;
        } else if (name == "--stop-runs") {
            options.stop_runs = *count;
        } else if (name == "--player-latency-ms") {
            options.player_latency_ms = *count;
        } else {
            return std::nullopt;
        }
    }
    return options;
}

// The fixed file, written once and fed to pacat over and over through a pipe, so the
// sink never runs dry between two plays. The player's buffer decides how far ahead the
// null sink renders, and with it how long a new recording waits for the monitor's first
// data: up to about 2 s with pacat's default.
class LoopPlayer {
public:
    static std::optional<std::string> start(LoopPlayer& player, const std::string& file,
                                            const std::vector<std::string>& env,
                                            const std::string& log, int latency_ms) {
        auto pipe = Pipe::make();
        if (!pipe) return pipe.error();
        std::vector<std::string> argv = {
            "pacat",
            "--playback",
            "--raw",
            "--format=float32le",
            "--rate=" + std::to_string(RATE),
            "--channels=" + std::to_string(CHANNELS),
            "--device=" + std::string(test_support::PulseDaemon::SINK_NAME),
            "--client-name=vmah-bench-player"};
        if (latency_ms > 0) argv.push_back("--latency-msec=" + std::to_string(latency_ms));
        auto pacat = ChildProcess::spawn(argv, env,
                                         SpawnOptions{.stdin_fd = pipe->read_fd, .log_path = log});
        if (!pacat) return pacat.error();
        pipe->close_read();
        player.pacat_ = std::move(*pacat);
        player.pipe_ = std::move(*pipe);
        player.feeder_ = std::thread([&player, file] { player.feed(file); });
        return std::nullopt;
    }

    LoopPlayer() = default;
    LoopPlayer(const LoopPlayer&) = delete;
    LoopPlayer& operator=(const LoopPlayer&) = delete;
    ~LoopPlayer() { stop(); }

    bool playing() { return !stopped_.load() && pacat_.pid() > 0 && !ended_.load(); }
    std::uint64_t loops() const { return loops_.load(); }

    void stop() {
        stopped_.store(true);
        // Killing the reader makes a blocked write fail at once (SIGPIPE is ignored).
        pacat_.wait_at_most(0ms);
        if (feeder_.joinable()) feeder_.join();
        pipe_.close_write();
    }

private:
    void feed(const std::string& file) {
        const std::string bytes = read_file(file);
        while (!stopped_.load() && !bytes.empty()) {
            if (util::write_all(pipe_.write_fd, bytes.data(), bytes.size()).bytes != bytes.size()) {
                ended_.store(true);
                return;
            }
            loops_.fetch_add(1);
        }
    }

    ChildProcess pacat_;
    Pipe pipe_;
    std::thread feeder_;
    std::atomic<bool> stopped_{false};
    std::atomic<bool> ended_{false};
    std::atomic<std::uint64_t> loops_{0};
};

double thread_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The floor every recorder stands on: CPU seconds of this thread running opus_encode
// (libopus defaults, 20 ms frames) over `seconds` of the same music, converted to 16-bit
// as the helper converts it. Back to back, the encoder stays hot in the caches; paced,
// one frame every 20 ms as audio arrives, it starts cold each time and the thread sleeps
// and wakes once per frame, which is the least any real-time recorder does. Negative on
// failure.
double bare_encoder_cpu(const std::vector<float>& music, int seconds, bool paced) {
    std::vector<opus_int16> pcm(music.size());
    std::transform(music.begin(), music.end(), pcm.begin(), [](float v) {
        return static_cast<opus_int16>(std::clamp(v, -1.0f, 1.0f) * 32767.0f);
    });
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(
        static_cast<opus_int32>(RATE), static_cast<int>(CHANNELS), OPUS_APPLICATION_AUDIO, &error);
    if (encoder == nullptr || error != OPUS_OK) return -1;
    constexpr std::size_t FRAME = 960;
    constexpr auto FRAME_TIME = 20ms;
    const std::size_t frame_values = FRAME * CHANNELS;
    const std::size_t frames = static_cast<std::size_t>(seconds) * RATE / FRAME;
    const std::size_t loop_frames = pcm.size() / frame_values;
    std::vector<unsigned char> packet(4000);
    std::uint64_t bytes = 0;
    const double start = thread_cpu_seconds();
    auto next = Clock::now();
    for (std::size_t f = 0; f < frames; ++f) {
        if (paced) {
            next += FRAME_TIME;
            std::this_thread::sleep_until(next);
        }
        const opus_int16* frame = pcm.data() + (f % loop_frames) * frame_values;
        const opus_int32 n = opus_encode(encoder, frame, static_cast<int>(FRAME), packet.data(),
                                         static_cast<opus_int32>(packet.size()));
        if (n < 0) {
            opus_encoder_destroy(encoder);
            return -1;
        }
        bytes += static_cast<std::uint64_t>(n);
    }
    const double spent = thread_cpu_seconds() - start;
    opus_encoder_destroy(encoder);
    return bytes > 0 ? spent : -1;
}

struct Bench {
    Options options;
    std::string dir;
    std::vector<std::string> env;
    std::string monitor;
    int file_counter = 0;
    test_support::PulseDaemon* daemon = nullptr;

    double server_cpu() const {
        double total = 0;
        for (const pid_t pid : daemon->pids())
            total += bench::process_cpu_seconds(pid).value_or(0.0);
        return total;
    }
    double server_switches() const {
        double total = 0;
        for (const pid_t pid : daemon->pids()) {
            total += static_cast<double>(bench::process_context_switches(pid).value_or(0));
        }
        return total;
    }

    std::optional<bench::SinkLatency> sink_latency() const {
        const auto text = daemon->pactl({"list", "sinks"});
        if (!text) return std::nullopt;
        return bench::parse_sink_latency(*text, test_support::PulseDaemon::SINK_NAME);
    }

    // The server with the music playing and no recorder, over `seconds`.
    Idle idle(int seconds) const {
        Idle idle;
        const double cpu = server_cpu();
        const double switches = server_switches();
        const auto from = Clock::now();
        std::this_thread::sleep_until(from + std::chrono::milliseconds(seconds * 500));
        idle.sink_latency = sink_latency();
        std::this_thread::sleep_until(from + std::chrono::seconds(seconds));
        idle.cpu_seconds = server_cpu() - cpu;
        idle.switches = server_switches() - switches;
        idle.window_seconds = seconds_between(from, Clock::now());
        return idle;
    }

    // Options for a process whose CPU time and peak memory are measured.
    SpawnOptions measured(int stdin_fd, int stdout_fd, const std::string& log) const {
        return SpawnOptions{.stdin_fd = stdin_fd,
                            .stdout_fd = stdout_fd,
                            .log_path = dir + "/" + log,
                            .launcher = MEASURED_LAUNCH};
    }

    std::string next_path(const std::string& stem, const std::string& ext) {
        return dir + "/" + stem + "-" + std::to_string(file_counter++) + ext;
    }

    // Sleeps until it is time to stop (see StopAt), SIGINTs the first process (the
    // others end when it does), then collects every process's usage, the server's CPU
    // since `server_before` (read just before the start), and reads the file.
    // `interrupted_status` is an exit status that a SIGINT normally gives.
    void finish(Measure& m, Clock::time_point started, std::pair<double, double> server_before,
                const StopAt& stop_at, std::vector<ChildProcess>& processes, const std::string& out,
                int interrupted_status = 0) {
        if (stop_at) {
            std::this_thread::sleep_until(stop_at(started, m));
        } else {
            std::this_thread::sleep_until(started +
                                          std::chrono::milliseconds(options.seconds * 500));
            m.sink_latency = sink_latency();
            std::this_thread::sleep_until(started + std::chrono::seconds(options.seconds));
        }
        const auto stopped = Clock::now();
        processes.front().signal(SIGINT);
        m.signalled = stopped;
        m.out = out;
        m.wall_seconds = seconds_between(started, stopped);
        long rss = 0;
        m.ok = true;
        for (auto& p : processes) {
            const Usage u = p.wait_at_most(EXIT_LIMIT);
            m.cpu_seconds += u.cpu_seconds;
            rss += u.max_rss_kib;
            m.context_switches += u.context_switches;
            if (u.status != 0 && u.status != interrupted_status) {
                m.ok = false;
                m.failure = "exit status " + std::to_string(u.status);
            }
        }
        m.max_rss_mib = mib(rss);
        m.server_cpu_seconds = server_cpu() - server_before.first;
        m.server_switches = server_switches() - server_before.second;
        m.server_window_seconds = seconds_between(started, Clock::now());
        const auto info = test_support::read_ogg_opus(out);
        if (!info || !info->ends_with_eos) {
            m.ok = false;
            if (m.failure.empty()) m.failure = "no complete Ogg Opus file";
            return;
        }
        m.recorded_seconds = info->duration_seconds();
        m.kbit_per_second = info->kbit_per_second();
    }

    Measure run_helper(const std::string& binary, const StopAt& stop_at) {
        Measure m;
        const std::string out = next_path("helper", ".opus");
        const std::string status = next_path("helper", ".out");
        const int status_fd =
            ::open(status.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (status_fd < 0) return failed("cannot create " + status);
        const auto server_before = std::pair(server_cpu(), server_switches());
        const auto started = Clock::now();
        auto helper = ChildProcess::spawn(
            {binary, "--out", out, "--secs", std::to_string(options.seconds + 60)}, env,
            measured(-1, status_fd, "helper.log"));
        ::close(status_fd);
        if (!helper) return failed(helper.error());
        std::vector<ChildProcess> processes;
        processes.push_back(std::move(*helper));
        finish(m, started, server_before, stop_at, processes, out);
        const std::string line = read_file(status);
        if (line.starts_with("OK ") && line.ends_with('\n')) {
            m.reported_seconds = std::strtod(line.c_str() + 3, nullptr);
        } else {
            m.ok = false;
            m.failure = "status line: " + line;
        }
        return m;
    }

    // ffmpeg as it comes (its pulse input then asks for 50 ms fragments), or with the
    // helper's 10 ms fragments (1920 bytes of 16-bit stereo) for an equal footing.
    Measure run_ffmpeg(bool short_fragments, const StopAt& stop_at) {
        Measure m;
        const std::string out = next_path("ffmpeg", ".opus");
        std::vector<std::string> argv = {"ffmpeg",
                                         "-nostdin",
                                         "-hide_banner",
                                         "-loglevel",
                                         "error",
                                         "-f",
                                         "pulse",
                                         "-sample_rate",
                                         std::to_string(RATE),
                                         "-channels",
                                         std::to_string(CHANNELS)};
        if (short_fragments) {
            argv.insert(argv.end(), {"-fragment_size", std::to_string(RATE / 100 * CHANNELS * 2)});
        }
        argv.insert(argv.end(), {"-i", monitor, "-c:a", "libopus", "-f", "ogg", "-y", out});
        const auto server_before = std::pair(server_cpu(), server_switches());
        const auto started = Clock::now();
        auto ffmpeg = ChildProcess::spawn(argv, env, measured(-1, -1, "ffmpeg.log"));
        if (!ffmpeg) return failed(ffmpeg.error());
        std::vector<ChildProcess> processes;
        processes.push_back(std::move(*ffmpeg));
        // ffmpeg ends with status 255 after a SIGINT, having finished its file.
        finish(m, started, server_before, stop_at, processes, out, 255);
        return m;
    }

    Measure run_pipeline(const StopAt& stop_at) {
        Measure m;
        const std::string out = next_path("pipeline", ".opus");
        auto pipe = Pipe::make();
        if (!pipe) return failed(pipe.error());
        const auto server_before = std::pair(server_cpu(), server_switches());
        const auto started = Clock::now();
        // 10 ms fragments, as the helper asks for: a monitor otherwise delivers in
        // chunks of up to seconds.
        const std::vector<std::string> parec_argv = {"parec",
                                                     "--device=" + monitor,
                                                     "--rate=" + std::to_string(RATE),
                                                     "--channels=" + std::to_string(CHANNELS),
                                                     "--format=s16le",
                                                     "--raw",
                                                     "--latency-msec=10",
                                                     "--client-name=vmah-bench-parec"};
        // pw-record on the sink's monitor as the session manager links it, asking no latency.
        const std::vector<std::string> pw_record_argv = {"pw-record",
                                                         "--target",
                                                         test_support::PulseDaemon::SINK_NAME,
                                                         "-P",
                                                         "{ stream.capture.sink=true }",
                                                         "--rate",
                                                         std::to_string(RATE),
                                                         "--channels",
                                                         std::to_string(CHANNELS),
                                                         "--format",
                                                         "s16",
                                                         "-"};
        auto parec = ChildProcess::spawn(options.pipewire ? pw_record_argv : parec_argv, env,
                                         measured(-1, pipe->write_fd, "parec.log"));
        if (!parec) return failed(parec.error());
        auto opusenc = ChildProcess::spawn(
            {"opusenc", "--quiet", "--raw", "--raw-rate", std::to_string(RATE), "--raw-chan",
             std::to_string(CHANNELS), "--raw-bits", "16", "-", out},
            env, measured(pipe->read_fd, -1, "opusenc.log"));
        if (!opusenc) return failed(opusenc.error());
        // Only the two children hold the pipe now: opusenc sees the end when parec exits.
        pipe->close_read();
        pipe->close_write();
        std::vector<ChildProcess> processes;
        processes.push_back(std::move(*parec));
        processes.push_back(std::move(*opusenc));
        // pw-record ends with status 1 after a SIGINT, its output complete.
        finish(m, started, server_before, stop_at, processes, out, options.pipewire ? 1 : 0);
        return m;
    }

    // SIGINT to exit of the helper, once it has been recording for a while.
    std::optional<double> stop_latency_ms(std::string& failure) {
        const std::string out = next_path("stop", ".opus");
        const std::string status = next_path("stop", ".out");
        const int status_fd =
            ::open(status.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (status_fd < 0) {
            failure = "cannot create " + status;
            return std::nullopt;
        }
        auto helper = ChildProcess::spawn(
            {options.helper, "--out", out, "--secs", "600"}, env,
            SpawnOptions{.stdout_fd = status_fd, .log_path = dir + "/helper.log"});
        ::close(status_fd);
        if (!helper) {
            failure = helper.error();
            return std::nullopt;
        }
        std::this_thread::sleep_for(STOP_SETTLE);
        const auto signalled = Clock::now();
        helper->signal(SIGINT);
        const Usage u = helper->wait_at_most(EXIT_LIMIT);
        const auto ended = Clock::now();
        const std::string line = read_file(status);
        if (u.status != 0 || !line.starts_with("OK ")) {
            failure = "exit status " + std::to_string(u.status) + ", status line: " + line;
            return std::nullopt;
        }
        ::unlink(out.c_str());
        ::unlink(status.c_str());
        return seconds_between(signalled, ended) * 1e3;
    }
};

struct Recorder {
    const char* name;
    std::function<Measure(Bench&, const StopAt&)> run;
    std::vector<Measure> measures;
    std::vector<Fidelity> fidelity;

    std::vector<double> values_of(double (*get)(const Measure&)) const {
        std::vector<double> values;
        for (const auto& m : measures) values.push_back(get(m));
        return values;
    }
    double median_of(double (*get)(const Measure&)) const { return median(values_of(get)); }
    double min_of(double (*get)(const Measure&)) const {
        const auto values = values_of(get);
        return *std::min_element(values.begin(), values.end());
    }
    double max_of(double (*get)(const Measure&)) const {
        const auto values = values_of(get);
        return *std::max_element(values.begin(), values.end());
    }
};

double ms_of_frames(std::size_t frames) { return static_cast<double>(frames) * 1000.0 / RATE; }
double ms_of(std::chrono::milliseconds d) { return static_cast<double>(d.count()); }
double seconds_of(std::chrono::milliseconds d) { return ms_of(d) / 1000.0; }

// Where the test tone is in a recorder's file.
std::expected<test_support::ToneSpan, std::string> tone_in(const Measure& m) {
    const auto pcm = test_support::decode_opus_file(m.out);
    if (!pcm) return std::unexpected("cannot decode " + m.out);
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

// The three fidelity runs of one recorder (the methods are described at the top).
std::expected<Fidelity, std::string> measure_fidelity(Bench& b, const Recorder& r) {
    Fidelity f;
    const std::string server = b.daemon->server();
    const std::string sink = test_support::PulseDaemon::SINK_NAME;
    const int buffer_ms = b.options.player_latency_ms;
    {
        bench::TonePlayer player;
        std::optional<std::string> not_started;
        const StopAt stop_at = [&](Clock::time_point started, Measure&) {
            std::this_thread::sleep_until(started + ONSET_AT);
            not_started = bench::TonePlayer::start(player, server, sink,
                                                   test_tone(seconds_of(TONE_LENGTH)), buffer_ms);
            return started + ONSET_AT + TONE_LENGTH + ONSET_AFTER;
        };
        const Measure m = r.run(b, stop_at);
        player.stop();
        if (not_started) return std::unexpected("onset run: " + *not_started);
        if (!m.ok) return std::unexpected("onset run: " + m.failure);
        const auto span = tone_in(m);
        if (!span) return std::unexpected("onset run: " + span.error());
        f.onset_loss_ms = ms_of(TONE_LENGTH) - ms_of_frames(span->frames());
    }
    {
        bench::TonePlayer player;
        const double seconds = seconds_of(LEAD_BEFORE + LEAD_RECORDING) + 2.0;
        if (auto failure =
                bench::TonePlayer::start(player, server, sink, test_tone(seconds), buffer_ms)) {
            return std::unexpected("start-lead run: " + *failure);
        }
        const auto origin = player.wait_origin(ORIGIN_LIMIT);
        if (!origin) return std::unexpected("start-lead run: the tone player's timing is unknown");
        std::this_thread::sleep_until(*origin + LEAD_BEFORE);
        const Measure m =
            r.run(b, [](Clock::time_point started, Measure&) { return started + LEAD_RECORDING; });
        player.stop();
        if (!m.ok) return std::unexpected("start-lead run: " + m.failure);
        const auto span = tone_in(m);
        if (!span) return std::unexpected("start-lead run: " + span.error());
        f.start_lead_ms = ms_of_frames(span->first_frame);
    }
    {
        bench::TonePlayer player;
        std::vector<float> pcm(static_cast<std::size_t>(seconds_of(TAIL_TONE_AT) * RATE) * CHANNELS,
                               0.0f);
        const auto tail = test_tone(seconds_of(TAIL_BEFORE_SIGNAL) + 3.0);
        pcm.insert(pcm.end(), tail.begin(), tail.end());
        if (auto failure =
                bench::TonePlayer::start(player, server, sink, std::move(pcm), buffer_ms)) {
            return std::unexpected("stop-tail run: " + *failure);
        }
        std::optional<Clock::time_point> tone_heard;
        const Measure m = r.run(b, [&](Clock::time_point started, Measure&) {
            const auto origin = player.wait_origin(ORIGIN_LIMIT);
            if (!origin) return started;
            tone_heard = *origin + TAIL_TONE_AT;
            return *tone_heard + TAIL_BEFORE_SIGNAL;
        });
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

void print_measure(const char* name, const Measure& m) {
    std::printf(
        "  %-16s cpu %7.3f s  peak RSS %7.2f MiB  recorded %8.3f s  wall %8.3f s  "
        "recorded/wall %.4f  %6.1f kbit/s",
        name, m.cpu_seconds, m.max_rss_mib, m.recorded_seconds, m.wall_seconds,
        m.recorded_over_wall(), m.kbit_per_second);
    if (m.reported_seconds) std::printf("  (printed OK %.2f)", *m.reported_seconds);
    std::printf(
        "\n  %-16s server %.2f s in %.2f s, extra %+.3f s; own + extra %.3f s; "
        "server switches %+.1f/s",
        "", m.server_cpu_seconds, m.server_window_seconds, m.server_extra_seconds,
        m.system_cpu_seconds(), m.server_extra_switches_per_second);
    if (m.sink_latency) {
        std::printf("; sink latency %.1f ms (configured %.1f ms)", m.sink_latency->latency_ms,
                    m.sink_latency->configured_ms);
    }
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const auto parsed = parse_options(argc, argv);
    if (!parsed) {
        std::fprintf(stderr,
                     "usage: e2e_bench [--helper PATH] [--secs N] [--rounds N] [--stop-runs N] "
                     "[--player-latency-ms N] [--baseline PATH] [--server pulseaudio|pipewire]\n");
        return 2;
    }
    // The loop player writes into a pipe whose reader may go away.
    std::signal(SIGPIPE, SIG_IGN);

    const bool pipewire = parsed->pipewire;
    const std::vector<const char*> tools =
        pipewire ? std::vector<const char*>{"pipewire", "pacat", "pw-record", "opusenc", "ffmpeg"}
                 : std::vector<const char*>{"pulseaudio", "pacat", "parec", "opusenc", "ffmpeg"};
    for (const char* tool : tools) {
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
    Bench bench;
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

    const std::string music = bench.dir + "/music.f32";
    const auto pcm = bench::music_like_stereo(RATE, LOOP_SECONDS);
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
    if (auto failed = LoopPlayer::start(player, music, bench.env, bench.dir + "/pacat.log",
                                        bench.options.player_latency_ms)) {
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

    std::vector<Recorder> recorders = {
        {"helper",
         [](Bench& b, const StopAt& s) { return b.run_helper(b.options.helper, s); },
         {},
         {}},
        {"ffmpeg", [](Bench& b, const StopAt& s) { return b.run_ffmpeg(false, s); }, {}, {}},
        {"ffmpeg 10 ms", [](Bench& b, const StopAt& s) { return b.run_ffmpeg(true, s); }, {}, {}},
        {pipewire ? "pw-record | opusenc" : "parec | opusenc",
         [](Bench& b, const StopAt& s) { return b.run_pipeline(s); },
         {},
         {}},
    };
    if (!bench.options.baseline.empty()) {
        recorders.push_back(
            {"helper baseline",
             [](Bench& b, const StopAt& s) { return b.run_helper(b.options.baseline, s); },
             {},
             {}});
    }
    auto dump_logs = [&] {
        for (const char* log : {"helper.log", "ffmpeg.log", "parec.log", "opusenc.log"}) {
            const std::string text = read_file(bench.dir + "/" + log);
            if (!text.empty()) std::fprintf(stderr, "--- %s\n%s", log, text.c_str());
        }
    };
    std::vector<Idle> idles;
    std::vector<double> hot_encoder, paced_encoder;
    for (int round = 0; round < bench.options.rounds; ++round) {
        std::printf("round %d\n", round + 1);
        const Idle idle = bench.idle(std::min(bench.options.seconds, IDLE_SECONDS));
        idles.push_back(idle);
        std::printf("  %-16s server %.2f s in %.2f s (%.4f s per s)", "idle server",
                    idle.cpu_seconds, idle.window_seconds, idle.cpu_seconds / idle.window_seconds);
        if (idle.sink_latency) {
            std::printf("; sink latency %.1f ms (configured %.1f ms)",
                        idle.sink_latency->latency_ms, idle.sink_latency->configured_ms);
        }
        std::printf("\n");
        const double hot = bare_encoder_cpu(pcm, bench.options.seconds, false);
        const double paced = bare_encoder_cpu(pcm, bench.options.seconds, true);
        if (hot < 0 || paced < 0) {
            std::fprintf(stderr, "e2e_bench: the bare encoder failed\n");
            return 1;
        }
        hot_encoder.push_back(hot);
        paced_encoder.push_back(paced);
        std::printf(
            "  %-16s cpu %7.3f s  back to back; %.3f s paced at one frame per 20 ms "
            "(in this process, the same %d s of music)\n",
            "bare opus_encode", hot, paced, bench.options.seconds);
        for (std::size_t k = 0; k < recorders.size(); ++k) {
            // Rotating the order spreads whatever else the machine does over all of them.
            Recorder& r = recorders[(k + static_cast<std::size_t>(round)) % recorders.size()];
            if (!player.playing()) {
                std::fprintf(stderr, "e2e_bench: the loop player stopped\n");
                return 1;
            }
            Measure m = r.run(bench, {});
            if (!m.ok) {
                std::fprintf(stderr, "e2e_bench: %s failed: %s\n", r.name, m.failure.c_str());
                dump_logs();
                return 1;
            }
            m.server_extra_seconds =
                bench::server_extra_seconds(m.server_cpu_seconds, m.server_window_seconds,
                                            idle.cpu_seconds, idle.window_seconds);
            m.server_extra_switches_per_second =
                m.server_switches / m.server_window_seconds - idle.switches / idle.window_seconds;
            print_measure(r.name, m);
            r.measures.push_back(m);
        }
        for (std::size_t k = 0; k < recorders.size(); ++k) {
            Recorder& r = recorders[(k + static_cast<std::size_t>(round)) % recorders.size()];
            const auto f = measure_fidelity(bench, r);
            if (!f && &r != &recorders[0]) {
                // A peer's figures are context; the helper's are what the run is for.
                std::printf("  %-16s fidelity not measured: %s\n", r.name, f.error().c_str());
                continue;
            }
            if (!f) {
                std::fprintf(stderr, "e2e_bench: %s fidelity: %s\n", r.name, f.error().c_str());
                // A peer that cannot make a file here (ffmpeg's onset run on PipeWire) is left
                // out of the fidelity figures; the helper's own failure ends the run.
                if (std::string_view(r.name).starts_with("helper")) {
                    dump_logs();
                    return 1;
                }
                continue;
            }
            std::printf(
                "  %-16s onset loss %6.1f ms  start lead %7.1f ms  stop tail lost %6.1f ms "
                "(of the last %.0f ms before SIGINT, %.1f kept)\n",
                r.name, f->onset_loss_ms, f->start_lead_ms, f->stop_lost_ms, LAST_MS,
                f->last_kept_ms());
            std::fflush(stdout);
            r.fidelity.push_back(*f);
        }
    }

    std::vector<double> latencies;
    for (int run = 0; run < bench.options.stop_runs; ++run) {
        std::string failure;
        const auto ms = bench.stop_latency_ms(failure);
        if (!ms) {
            std::fprintf(stderr, "e2e_bench: stop run %d failed: %s\n", run + 1, failure.c_str());
            return 1;
        }
        latencies.push_back(*ms);
    }
    const std::uint64_t loops = player.loops();
    player.stop();

    std::printf("medians over %d rounds\n", bench.options.rounds);
    struct Row {
        double cpu, rss, recorded, wall, ratio, kbps, switches;
    };
    std::vector<Row> rows;
    for (const auto& r : recorders) {
        Row row{r.median_of([](const Measure& m) { return m.cpu_seconds; }),
                r.median_of([](const Measure& m) { return m.max_rss_mib; }),
                r.median_of([](const Measure& m) { return m.recorded_seconds; }),
                r.median_of([](const Measure& m) { return m.wall_seconds; }),
                r.median_of([](const Measure& m) { return m.recorded_over_wall(); }),
                r.median_of([](const Measure& m) { return m.kbit_per_second; }),
                r.median_of([](const Measure& m) { return m.switches_per_second(); })};
        rows.push_back(row);
        std::printf(
            "  %-16s cpu %7.3f s  peak RSS %7.2f MiB  recorded %8.3f s  wall %8.3f s  "
            "recorded/wall %.4f  %6.1f kbit/s  %6.1f context switches/s\n",
            r.name, row.cpu, row.rss, row.recorded, row.wall, row.ratio, row.kbps, row.switches);
        std::vector<double> latency, configured;
        for (const auto& m : r.measures) {
            if (!m.sink_latency) continue;
            latency.push_back(m.sink_latency->latency_ms);
            configured.push_back(m.sink_latency->configured_ms);
        }
        std::printf(
            "  %-16s server extra %+.3f s  own + extra %.3f s  sink latency %.1f ms (configured "
            "%.1f ms, "
            "%zu of %zu samples); server switches %+.1f/s\n",
            "", r.median_of([](const Measure& m) { return m.server_extra_seconds; }),
            r.median_of([](const Measure& m) { return m.system_cpu_seconds(); }), median(latency),
            median(configured), latency.size(), r.measures.size(),
            r.median_of([](const Measure& m) { return m.server_extra_switches_per_second; }));
        auto fidelity_median = [&](double (*get)(const Fidelity&)) {
            std::vector<double> values;
            for (const auto& f : r.fidelity) values.push_back(get(f));
            return median(values);
        };
        if (r.fidelity.empty()) continue;
        std::printf(
            "  %-16s onset loss %.1f ms  start lead %.1f ms  stop tail lost %.1f ms (%.1f of the "
            "last "
            "%.0f ms kept)\n",
            "", fidelity_median([](const Fidelity& f) { return f.onset_loss_ms; }),
            fidelity_median([](const Fidelity& f) { return f.start_lead_ms; }),
            fidelity_median([](const Fidelity& f) { return f.stop_lost_ms; }),
            fidelity_median([](const Fidelity& f) { return f.last_kept_ms(); }), LAST_MS);
    }
    {
        std::vector<double> idle_rates, idle_latency;
        for (const auto& idle : idles) {
            idle_rates.push_back(idle.cpu_seconds / idle.window_seconds);
            if (idle.sink_latency) idle_latency.push_back(idle.sink_latency->latency_ms);
        }
        std::printf("  %-16s server %.4f s per s  sink latency %.1f ms (%zu of %zu samples)\n",
                    "idle server", median(idle_rates), median(idle_latency), idle_latency.size(),
                    idles.size());
    }
    const double hot = median(hot_encoder);
    const double paced = median(paced_encoder);
    std::printf("  %-16s cpu %7.3f s back to back, %.3f s paced\n", "bare opus_encode", hot, paced);
    const Row& helper = rows[0];
    const Row& ffmpeg = rows[1];
    const Row& pipeline = rows[3];
    // CPU time of wake-heavy processes on a virtual machine moves with whatever else the
    // machine does, so each ratio is taken within a round, between runs a minute apart,
    // and its median over the rounds is the figure; the spread shows how settled it is.
    auto per_round = [&](auto numerator, auto denominator) {
        std::vector<double> values;
        for (int round = 0; round < bench.options.rounds; ++round) {
            values.push_back(numerator(static_cast<std::size_t>(round)) /
                             denominator(static_cast<std::size_t>(round)));
        }
        return values;
    };
    auto cpu_of = [&](std::size_t recorder) {
        return [&, recorder](std::size_t round) {
            return recorders[recorder].measures[round].cpu_seconds;
        };
    };
    auto system_of = [&](std::size_t recorder) {
        return [&, recorder](std::size_t round) {
            return recorders[recorder].measures[round].system_cpu_seconds();
        };
    };
    auto paced_at = [&](std::size_t round) { return paced_encoder[round]; };
    auto hot_at = [&](std::size_t round) { return hot_encoder[round]; };
    auto print_ratio = [](const char* label, const std::vector<double>& values, const char* goal) {
        std::printf("  %-32s %.3f (rounds %.3f .. %.3f)%s\n", label, median(values),
                    *std::min_element(values.begin(), values.end()),
                    *std::max_element(values.begin(), values.end()), goal);
    };
    std::printf("ratios, median over rounds of each round's ratio\n");
    print_ratio("cpu helper/ffmpeg:", per_round(cpu_of(0), cpu_of(1)), " (goal <= 0.5)");
    print_ratio("cpu helper/ffmpeg 10 ms:", per_round(cpu_of(0), cpu_of(2)), "");
    print_ratio("cpu helper/pipeline:", per_round(cpu_of(0), cpu_of(3)), " (goal <= 1.0)");
    print_ratio("cpu paced encoder/ffmpeg:", per_round(paced_at, cpu_of(1)),
                " (the least any real-time encoder costs against ffmpeg)");
    for (std::size_t k = 0; k < recorders.size(); ++k) {
        const std::string label = std::string("cpu ") + recorders[k].name + "/paced encoder:";
        print_ratio(label.c_str(), per_round(cpu_of(k), paced_at), "");
    }
    print_ratio("cpu helper/hot encoder:", per_round(cpu_of(0), hot_at), "");
    // The same comparisons on the whole machine: each recorder's own CPU plus what it
    // added to the sound server's.
    std::printf("system-wide (own cpu + server extra) beside own cpu, median over rounds\n");
    for (std::size_t k = 1; k < recorders.size(); ++k) {
        const std::string own = std::string("cpu helper/") + recorders[k].name + ":";
        const std::string system = std::string("system helper/") + recorders[k].name + ":";
        print_ratio(own.c_str(), per_round(cpu_of(0), cpu_of(k)), k == 1 ? " (goal <= 0.5)" : "");
        const char* goal = k == 1 ? (pipewire ? " (goal <= 0.4)" : " (goal <= 0.6)")
                                  : (k == 3 && pipewire ? " (goal <= 1.0)" : "");
        print_ratio(system.c_str(), per_round(system_of(0), system_of(k)), goal);
    }
    {
        // What the helper adds to the servers' context switches beyond what the pipeline's
        // recorder adds, in the same round.
        std::vector<double> beyond;
        for (int round = 0; round < bench.options.rounds; ++round) {
            const auto at = static_cast<std::size_t>(round);
            beyond.push_back(recorders[0].measures[at].server_extra_switches_per_second -
                             recorders[3].measures[at].server_extra_switches_per_second);
        }
        const std::string label = std::string("server switches helper - ") + recorders[3].name;
        print_ratio((label + ":").c_str(), beyond, pipewire ? " per s (goal <= +10)" : " per s");
    }
    if (recorders.size() > 4) {
        print_ratio("cpu helper/helper baseline:", per_round(cpu_of(0), cpu_of(4)), "");
        std::printf("  %-32s %.3f\n", "peak RSS helper/baseline:", helper.rss / rows[4].rss);
    }
    std::printf("  %-32s %.3f\n", "peak RSS helper/ffmpeg:", helper.rss / ffmpeg.rss);
    std::printf("  %-32s %.3f\n", "peak RSS helper/pipeline:", helper.rss / pipeline.rss);
    std::printf("  %-32s %.2f MiB, largest round %.2f MiB (goal <= 8 MiB)\n",
                "helper peak RSS:", helper.rss,
                recorders[0].max_of([](const Measure& m) { return m.max_rss_mib; }));
    std::printf("  %-32s %.4f, rounds %.4f .. %.4f (goal within 1 %%: 0.99 .. 1.01)\n",
                "helper recorded/wall:", helper.ratio,
                recorders[0].min_of([](const Measure& m) { return m.recorded_over_wall(); }),
                recorders[0].max_of([](const Measure& m) { return m.recorded_over_wall(); }));
    {
        std::vector<double> onset, tail;
        for (const auto& f : recorders[0].fidelity) {
            onset.push_back(f.onset_loss_ms);
            tail.push_back(f.stop_lost_ms);
        }
        std::printf("  %-32s %.1f ms, rounds %.1f .. %.1f (goal <= 50 ms)\n",
                    "helper onset loss:", median(onset),
                    *std::min_element(onset.begin(), onset.end()),
                    *std::max_element(onset.begin(), onset.end()));
        std::printf("  %-32s %.1f ms, rounds %.1f .. %.1f (goal <= 50 ms)\n",
                    "helper stop tail lost:", median(tail),
                    *std::min_element(tail.begin(), tail.end()),
                    *std::max_element(tail.begin(), tail.end()));
    }
    std::printf(
        "stop latency, SIGINT to exit, %d runs: median %.1f ms, min %.1f ms, max %.1f ms "
        "(goal median <= 120 ms)\n",
        bench.options.stop_runs, median(latencies),
        *std::min_element(latencies.begin(), latencies.end()),
        *std::max_element(latencies.begin(), latencies.end()));
    std::printf("loop player: %llu plays of the %u s file; load average at end: %s\n",
                static_cast<unsigned long long>(loops), LOOP_SECONDS, load_average().c_str());
    return 0;
}
