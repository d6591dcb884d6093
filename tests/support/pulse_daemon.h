#pragma once

// A private PulseAudio daemon for tests: its own directory, its own socket, no
// autospawn, and nothing left running or on disk once the owner is gone.

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <sys/types.h>

namespace test_support {

// One child process; killed and reaped when its owner lets go. The kernel also kills it
// if the thread that spawned it ends, so start children from a thread that outlives them.
class ChildProcess {
public:
    // argv[0] is looked up on PATH. Standard output and error go to log_path
    // (appended), or to /dev/null when it is empty.
    static std::expected<ChildProcess, std::string> spawn(const std::vector<std::string>& argv,
                                                          const std::vector<std::string>& env,
                                                          const std::string& log_path);

    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    bool running();
    // Exit status (or 128 + signal) once the child has ended within `limit`.
    std::optional<int> wait_for(std::chrono::milliseconds limit);
    // SIGTERM, then SIGKILL if it has not ended within `grace`.
    void terminate(std::chrono::milliseconds grace);
    void kill_now();
    // Sends a signal while the child runs (SIGSTOP, SIGCONT, ...).
    void signal(int signo);

private:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    void reap(int status);

    pid_t pid_ = -1;
    std::optional<int> status_;
};

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

struct PulseDaemonOptions {
    // Loads one null sink "testsink" at 48 000 Hz; without it the server has no outputs.
    bool null_sink = true;
};

class PulseDaemon {
public:
    static constexpr const char* SINK_NAME = "testsink";

    static std::expected<std::unique_ptr<PulseDaemon>, std::string> start(
        PulseDaemonOptions options = {});

    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;
    // Stops the daemon, restores the environment if it was exported, removes the directory.
    ~PulseDaemon();

    const std::string& directory() const { return dir_; }
    // libpulse's server string, "unix:<dir>/native".
    const std::string& server() const { return server_; }
    const std::string& client_config() const { return client_config_; }
    // The daemon's process, whose CPU time a benchmark reads from /proc.
    pid_t pid() const { return daemon_.pid(); }
    // Contents of the daemon's log so far, for failure messages.
    std::string log() const;

    // Points this process's libpulse clients at the daemon (PULSE_SERVER) and
    // forbids autospawn (PULSE_CLIENTCONFIG). Undone by the destructor. Call it
    // before any client thread exists: the environment is not thread-safe.
    void export_environment();

    bool running();
    // Crash simulation: SIGKILL, the socket file stays behind.
    void kill();
    // Starts the daemon again on the same socket and waits until it accepts connections.
    std::expected<void, std::string> restart();
    // A hung server: the socket still accepts connections, nothing answers. thaw() (or
    // the destructor) lets it go on.
    void freeze();
    void thaw();

    // Plays float32 interleaved PCM into a sink through a pacat child.
    std::expected<PcmPlayer, std::string> play_pcm(std::span<const float> interleaved,
                                                   std::uint32_t rate, std::uint32_t channels,
                                                   const std::string& sink = SINK_NAME);
    std::expected<PcmPlayer, std::string> play_tone(double frequency, double amplitude,
                                                    double seconds, std::uint32_t rate = 48000,
                                                    std::uint32_t channels = 2,
                                                    const std::string& sink = SINK_NAME);

    // Runs pactl against the daemon and waits (bounded) for it; returns its output.
    std::expected<std::string, std::string> pactl(const std::vector<std::string>& args);

private:
    struct Key {};

public:
    explicit PulseDaemon(Key) {}

private:
    std::expected<void, std::string> launch();
    std::expected<void, std::string> wait_accepting(std::chrono::milliseconds limit);
    std::vector<std::string> client_env() const;

    PulseDaemonOptions options_;
    std::string dir_;
    std::string server_;
    std::string socket_path_;
    std::string client_config_;
    std::string log_path_;
    ChildProcess daemon_;
    unsigned next_file_ = 0;
    bool exported_ = false;
    bool frozen_ = false;
    std::optional<std::string> saved_server_;
    std::optional<std::string> saved_client_config_;
};

// `seconds` of a sine at `frequency`, the same on every channel, interleaved.
std::vector<float> make_sine(double frequency, double amplitude, double seconds,
                             std::uint32_t rate, std::uint32_t channels);

}  // namespace test_support
