#pragma once

// The end-to-end benchmark's recorder runs: launching the helper, ffmpeg and the pipeline
// (parec or pw-record into opusenc) against the private sound server, stopping each with
// SIGINT, and measuring what it cost (CPU, peak memory, context switches, its own and the
// server's) and what its file holds. The helper's stop latency is measured here too.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench/e2e_options.h"
#include "bench/server_cost.h"
#include "tests/support/child_process.h"
#include "tests/support/pulse_daemon.h"

namespace bench {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t RATE = 48000;
constexpr std::uint32_t CHANNELS = 2;

double seconds_between(Clock::time_point from, Clock::time_point to);
std::string read_file(const std::string& path);

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
    std::optional<SinkLatency> sink_latency;  // mid-recording
    std::string out;
    Clock::time_point started;
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

// What a peer records: the sink's monitor by name (every run that measures cost and
// fidelity), or whatever the server's default is (the default-output switch runs), so that
// it follows the default as far as it can. The helper always records the default output.
enum class Source { SinkMonitor, DefaultOutput };

struct RecorderRuns;
// Runs one kind of recorder once.
using RunRecorder = std::function<Measure(RecorderRuns&, const StopAt&, Source)>;

struct Idle {
    double cpu_seconds = 0;
    double switches = 0;
    double window_seconds = 0;
    std::optional<SinkLatency> sink_latency;
};

struct RecorderRuns {
    Options options;
    std::string dir;
    std::vector<std::string> env;
    std::string monitor;
    std::atomic<int> file_counter = 0;  // recorders may run at once (load mode)
    test_support::PulseDaemon* daemon = nullptr;

    double server_cpu() const;
    double server_switches() const;
    std::optional<SinkLatency> sink_latency() const;

    // The server with the music playing and no recorder, over `seconds`.
    Idle idle(int seconds) const;

    Measure run_helper(const std::string& binary, const StopAt& stop_at);
    // ffmpeg as it comes (its pulse input then asks for 50 ms fragments), or with the
    // helper's 10 ms fragments (1920 bytes of 16-bit stereo) for an equal footing.
    Measure run_ffmpeg(bool short_fragments, const StopAt& stop_at, Source source);
    Measure run_pipeline(const StopAt& stop_at, Source source);

    // SIGINT to exit of the helper, once it has been recording for a while.
    std::optional<double> stop_latency_ms(std::string& failure);

private:
    test_support::SpawnOptions measured(int stdin_fd, int stdout_fd, const std::string& log) const;
    std::string next_path(const std::string& stem, const std::string& ext);
    void finish(Measure& m, Clock::time_point started, std::pair<double, double> server_before,
                const StopAt& stop_at, std::vector<test_support::ChildProcess>& processes,
                const std::string& out, int interrupted_status = 0);
};

}  // namespace bench
