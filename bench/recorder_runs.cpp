#include "bench/recorder_runs.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "tests/support/ogg_reading.h"

#ifndef MEASURED_LAUNCH
#error "MEASURED_LAUNCH must name the measured_launch executable"
#endif

namespace bench {

namespace {

using namespace std::chrono_literals;
using test_support::ChildProcess;
using test_support::Pipe;
using test_support::SpawnOptions;
using test_support::Usage;

constexpr auto EXIT_LIMIT = 30s;
// How long a stop-latency run records before its SIGINT: long enough to be recording.
constexpr auto STOP_SETTLE = 1000ms;

Measure failed(std::string why) {
    Measure m;
    m.failure = std::move(why);
    return m;
}

double mib(long kib) { return static_cast<double>(kib) / 1024.0; }

}  // namespace

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

double RecorderRuns::server_cpu() const {
    double total = 0;
    for (const pid_t pid : daemon->pids()) total += process_cpu_seconds(pid).value_or(0.0);
    return total;
}

double RecorderRuns::server_switches() const {
    double total = 0;
    for (const pid_t pid : daemon->pids())
        total += static_cast<double>(process_context_switches(pid).value_or(0));
    return total;
}

std::optional<SinkLatency> RecorderRuns::sink_latency() const {
    const auto text = daemon->pactl({"list", "sinks"});
    if (!text) return std::nullopt;
    return parse_sink_latency(*text, test_support::PulseDaemon::SINK_NAME);
}

Idle RecorderRuns::idle(int seconds) const {
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
SpawnOptions RecorderRuns::measured(int stdin_fd, int stdout_fd, const std::string& log) const {
    return SpawnOptions{.stdin_fd = stdin_fd,
                        .stdout_fd = stdout_fd,
                        .log_path = dir + "/" + log,
                        .launcher = MEASURED_LAUNCH};
}

std::string RecorderRuns::next_path(const std::string& stem, const std::string& ext) {
    return dir + "/" + stem + "-" + std::to_string(file_counter++) + ext;
}

// Sleeps until it is time to stop (see StopAt), SIGINTs the first process (the others end
// when it does), then collects every process's usage, the server's CPU since
// `server_before` (read just before the start), and reads the file. `interrupted_status`
// is an exit status that a SIGINT normally gives.
void RecorderRuns::finish(Measure& m, Clock::time_point started,
                          std::pair<double, double> server_before, const StopAt& stop_at,
                          std::vector<ChildProcess>& processes, const std::string& out,
                          int interrupted_status) {
    m.started = started;
    if (stop_at) {
        std::this_thread::sleep_until(stop_at(started, m));
    } else {
        std::this_thread::sleep_until(started + std::chrono::milliseconds(options.seconds * 500));
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

Measure RecorderRuns::run_helper(const std::string& binary, const StopAt& stop_at) {
    Measure m;
    const std::string out = next_path("helper", ".opus");
    const std::string status = next_path("helper", ".out");
    const int status_fd = ::open(status.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (status_fd < 0) return failed("cannot create " + status);
    const auto server_before = std::pair(server_cpu(), server_switches());
    const auto started = Clock::now();
    std::vector<std::string> argv = {binary, "--out", out, "--secs",
                                     std::to_string(options.seconds + 60)};
    // nice execs the helper: its figures are still the helper's alone.
    if (options.helper_nice != 0) {
        argv.insert(argv.begin(), {"nice", "-n", std::to_string(options.helper_nice)});
    }
    auto helper = ChildProcess::spawn(argv, env, measured(-1, status_fd, "helper.log"));
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

Measure RecorderRuns::run_ffmpeg(bool short_fragments, const StopAt& stop_at, Source source) {
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
    // "default": the server's default source, which is the default sink's monitor here.
    // ffmpeg stamps the monitor's data by the clock less the stream's latency, and the Ogg
    // muxer makes granule positions of those stamps. Through pipewire-pulse the first
    // fragments come faster than the clock, so a first page held more samples than its
    // granule position (a negative start, which libopusfile refuses); the stamps are
    // counted from the samples instead, which leaves the audio as it is.
    argv.insert(argv.end(), {"-i", source == Source::SinkMonitor ? monitor : "default", "-af",
                             "asetpts=N/SR/TB", "-c:a", "libopus", "-f", "ogg", "-y", out});
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

Measure RecorderRuns::run_pipeline(const StopAt& stop_at, Source source) {
    Measure m;
    const std::string out = next_path("pipeline", ".opus");
    auto pipe = Pipe::make();
    if (!pipe) return failed(pipe.error());
    const auto server_before = std::pair(server_cpu(), server_switches());
    const auto started = Clock::now();
    // 10 ms fragments, as the helper asks for: a monitor otherwise delivers in chunks of up
    // to seconds. Without --device, the default source: the default sink's monitor here.
    std::vector<std::string> parec_argv = {"parec",
                                           "--rate=" + std::to_string(RATE),
                                           "--channels=" + std::to_string(CHANNELS),
                                           "--format=s16le",
                                           "--raw",
                                           "--latency-msec=10",
                                           "--client-name=vmah-bench-parec"};
    // pw-record on the sink's monitor as the session manager links it, asking no latency;
    // without --target, on the default sink's, following the default.
    std::vector<std::string> pw_record_argv = {"pw-record",
                                               "-P",
                                               "{ stream.capture.sink=true }",
                                               "--rate",
                                               std::to_string(RATE),
                                               "--channels",
                                               std::to_string(CHANNELS),
                                               "--format",
                                               "s16",
                                               "-"};
    if (source == Source::SinkMonitor) {
        parec_argv.insert(parec_argv.begin() + 1, "--device=" + monitor);
        pw_record_argv.insert(pw_record_argv.begin() + 1,
                              {"--target", test_support::PulseDaemon::SINK_NAME});
    }
    auto parec = ChildProcess::spawn(options.pipewire ? pw_record_argv : parec_argv, env,
                                     measured(-1, pipe->write_fd, "parec.log"));
    if (!parec) return failed(parec.error());
    auto opusenc =
        ChildProcess::spawn({"opusenc", "--quiet", "--raw", "--raw-rate", std::to_string(RATE),
                             "--raw-chan", std::to_string(CHANNELS), "--raw-bits", "16", "-", out},
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

std::optional<double> RecorderRuns::stop_latency_ms(std::string& failure) {
    const std::string out = next_path("stop", ".opus");
    const std::string status = next_path("stop", ".out");
    const int status_fd = ::open(status.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (status_fd < 0) {
        failure = "cannot create " + status;
        return std::nullopt;
    }
    auto helper =
        ChildProcess::spawn({options.helper, "--out", out, "--secs", "600"}, env,
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

}  // namespace bench
