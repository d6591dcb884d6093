#pragma once

// A private sound server for tests: PulseAudio, or PipeWire serving libpulse clients
// through pipewire-pulse. Its own directory, its own socket, no autospawn, nothing of
// the host's session (no /run/user, no systemd, no host bus), and nothing left running
// or on disk once the owner is gone.

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <sys/types.h>

#include "tests/support/child_process.h"

namespace test_support {

// A sanitizer build runs the code several times slower, beside other such tests on the same
// cores: it checks memory and threads, while whether the capture keeps up in real time, and
// places the sound to the millisecond, is judged in the plain build, which runs the code as
// it ships.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool KEEPS_REAL_TIME = false;
#else
constexpr bool KEEPS_REAL_TIME = true;
#endif

// PCM being played into a sink by a client process.
class PcmPlayer {
public:
    explicit PcmPlayer(ChildProcess child) : child_(std::move(child)) {}
    // True when the player finished by itself with status 0 within `limit`.
    bool wait_done(std::chrono::milliseconds limit);
    void stop() { child_.kill_now(); }

private:
    ChildProcess child_;
};

// What the server played into a sink, recorded from its monitor beside a recording under test:
// the reference that tests/support/reference_comparison.h judges the recording against. pacat
// records it at a higher priority than the helper, in pieces of 20 ms: a server hands a
// recorder that asks for no latency its sound seconds at a time, and the last of it would be
// lost at the stop. (On PulseAudio this also keeps an idle null sink from rendering seconds
// ahead, as the helper's own stream does once it is there.)
class MonitorRecording {
public:
    MonitorRecording(ChildProcess child, std::string file, std::uint32_t channels)
        : child_(std::move(child)), file_(std::move(file)), channels_(channels) {}
    // Waits up to `limit` for the last 10 ms recorded to be at least `level` (RMS): the sound
    // is being heard now, whatever the player's and the server's start-up took.
    bool wait_until_loud(double level, std::chrono::milliseconds limit);
    // Stops the recorder (start it before the recording under test and finish it after) and
    // returns what it recorded: interleaved, at 48 000 Hz.
    std::vector<float> finish();

private:
    std::vector<float> samples() const;  // what is recorded so far

    ChildProcess child_;
    std::string file_;
    std::uint32_t channels_;
};

enum class ServerKind { PulseAudio, PipeWire };

const char* server_kind_name(ServerKind kind);

struct PulseDaemonOptions {
    // Loads one null sink "testsink" at 48 000 Hz, stereo, as the default sink; without
    // it the server has no outputs.
    bool null_sink = true;
    // Unset: VMAH_TEST_SERVER decides ("pulseaudio", the default, or "pipewire"), so that
    // one test binary runs against either server.
    std::optional<ServerKind> server = std::nullopt;
    // PulseAudio only. Off, the audio goes over the socket; on, the server shares memory
    // with its clients (memfd and its ring buffer), as a desktop's server does.
    bool shared_memory = false;
};

class PulseDaemon {
public:
    static constexpr const char* SINK_NAME = "testsink";
    // A PulseAudio null sink left idle has rendered up to two seconds of silence ahead when a
    // recording or a player comes; a sound meant to be recorded in full starts once that has
    // passed.
    static constexpr std::chrono::milliseconds IDLE_RENDER_AHEAD{2500};

    static std::expected<std::unique_ptr<PulseDaemon>, std::string> start(
        PulseDaemonOptions options = {});

    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;
    // Stops the daemon, restores the environment if it was exported, removes the directory.
    ~PulseDaemon();

    ServerKind kind() const { return kind_; }
    const std::string& directory() const { return dir_; }
    // libpulse's server string: "unix:<dir>/native" (PulseAudio),
    // "unix:<dir>/pulse/native" (PipeWire).
    const std::string& server() const { return server_; }
    const std::string& client_config() const { return client_config_; }
    // The process that serves libpulse clients, whose CPU time a benchmark reads.
    pid_t pid() const { return server_processes_.empty() ? -1 : server_processes_.back().pid(); }
    // Every process of the server (PipeWire: pipewire, wireplumber, pipewire-pulse).
    std::vector<pid_t> pids() const {
        std::vector<pid_t> all;
        for (const auto& process : server_processes_) all.push_back(process.pid());
        return all;
    }
    // Contents of the server's log so far (every process of it), for failure messages.
    std::string log() const;

    // Points this process's libpulse and libpipewire clients at the daemon (PULSE_SERVER,
    // PIPEWIRE_RUNTIME_DIR) and forbids autospawn (PULSE_CLIENTCONFIG). Undone by the destructor.
    // Call it before any client thread exists: the environment is not thread-safe.
    void export_environment();

    // Whether the process that serves libpulse clients runs.
    bool running();
    // Crash simulation: SIGKILL, the socket file stays behind, so a client is refused.
    // PipeWire: the pipewire daemon, then pipewire-pulse and wireplumber go the same way,
    // so that nothing of the old server (its sinks included) lingers; the session bus stays.
    void kill();
    // Starts the server again on the same socket, with "testsink" as at the start (sinks
    // loaded later are gone), and waits until it is usable.
    std::expected<void, std::string> restart();
    // A hung server: the socket still accepts connections, nothing answers (PipeWire: all
    // of its processes are stopped). thaw() (or the destructor) lets it go on.
    void freeze();
    void thaw();

    // Plays float32 interleaved PCM into a sink through a pacat child. With `latency_ms`,
    // the player asks the server for that latency, as most desktop players do, and the sink
    // renders only about that far ahead of what is heard; without it, pacat's own 2 s buffer
    // has the sink render up to 2 s ahead. An empty `sink` plays on the default and, on
    // PipeWire, moves with it as a desktop player does.
    std::expected<PcmPlayer, std::string> play_pcm(std::span<const float> interleaved,
                                                   std::uint32_t rate, std::uint32_t channels,
                                                   const std::string& sink = SINK_NAME,
                                                   const std::string& channel_map = {},
                                                   int latency_ms = 0);
    // A tone (test_support::tone: a sine with 1 ms fades in and out) played as play_pcm plays.
    std::expected<PcmPlayer, std::string> play_tone(double frequency, double amplitude,
                                                    double seconds, std::uint32_t rate = 48000,
                                                    std::uint32_t channels = 2,
                                                    const std::string& sink = SINK_NAME,
                                                    int latency_ms = 0);

    // Records `sink`'s monitor in `channels` channels (the server's own mix of its layout into
    // them); returns once the server lists the recorder.
    std::expected<MonitorRecording, std::string> record_monitor(const std::string& sink = SINK_NAME,
                                                                std::uint32_t channels = 2);

    // Runs pactl against the daemon and waits (bounded) for it; returns its output.
    std::expected<std::string, std::string> pactl(const std::vector<std::string>& args);
    // Runs pactl until its output holds `expected_text` (bounded by the start-up limit).
    std::expected<void, std::string> wait_until(const std::vector<std::string>& pactl_args,
                                                const std::string& expected_text);

    // Loads a null sink at 48 000 Hz; an empty channel map is the server's default for
    // that many channels. Returns once the server lists the sink, with the module index.
    std::expected<std::uint32_t, std::string> load_sink(const std::string& name,
                                                        std::uint32_t channels = 2,
                                                        const std::string& channel_map = {});
    std::expected<void, std::string> unload_module(std::uint32_t index);
    // Returns once the server reports `name` as its default sink.
    std::expected<void, std::string> set_default_sink(const std::string& name);
    // Moves every playing stream to `sink`, as a desktop does when the default changes.
    std::expected<void, std::string> move_players_to(const std::string& sink);

private:
    struct Key {};

public:
    explicit PulseDaemon(Key) {}

private:
    std::expected<void, std::string> launch();
    std::expected<void, std::string> launch_pulseaudio();
    std::expected<void, std::string> launch_pipewire();
    static std::expected<void, std::string> wait_accepting(ChildProcess& process,
                                                           const std::string& socket_path,
                                                           const std::string& name,
                                                           const std::string& log_path);
    // Runs pactl until its output satisfies `done` (bounded by the start-up limit).
    std::expected<void, std::string> wait_until(const std::vector<std::string>& pactl_args,
                                                const std::function<bool(const std::string&)>& done,
                                                const std::string& what);
    // Stops the server's processes, newest first.
    void stop_server(bool crash);
    std::vector<std::string> server_env() const;
    std::vector<std::string> client_env() const;
    ChildProcess& serving() { return server_processes_.back(); }

    PulseDaemonOptions options_;
    ServerKind kind_ = ServerKind::PulseAudio;
    std::string dir_;
    std::string server_;
    std::string socket_path_;
    std::string client_config_;
    std::string log_path_;
    // PipeWire's session bus; it outlives restarts.
    ChildProcess bus_;
    // In start order; the last one serves libpulse clients.
    std::vector<ChildProcess> server_processes_;
    unsigned next_file_ = 0;
    bool exported_ = false;
    bool frozen_ = false;
    std::optional<std::string> saved_server_;
    std::optional<std::string> saved_client_config_;
    std::optional<std::string> saved_pipewire_dir_;
};

// pacat's command line that plays raw float32 interleaved PCM into `device` (from its standard
// input unless a file is added), or with `record` records it from `device` to its standard
// output, asking for `latency_ms` when it is above 0.
std::vector<std::string> pacat_command(std::uint32_t rate, std::uint32_t channels,
                                       const std::string& device, const std::string& client_name,
                                       int latency_ms, const std::string& channel_map = {},
                                       bool record = false);

}  // namespace test_support
