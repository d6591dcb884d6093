#include "tests/support/pulse_daemon.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/support/reference_comparison.h"
#include "tests/support/tone_meter.h"

extern char** environ;

namespace test_support {
namespace {

using namespace std::chrono_literals;

constexpr auto READY_LIMIT = 10s;
constexpr auto STOP_GRACE = 3s;
constexpr auto PACTL_LIMIT = 10s;

std::string errno_text(const char* what, int code) {
    return std::string(what) + ": " + std::strerror(code);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::optional<std::string> get_env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

void restore_env(const char* name, const std::optional<std::string>& value) {
    if (value) {
        ::setenv(name, value->c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

std::string path_entry() {
    const char* path = std::getenv("PATH");
    return std::string("PATH=") + (path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
}

}  // namespace

bool PcmPlayer::wait_done(std::chrono::milliseconds limit) {
    const auto ended = child_.wait_for(limit);
    return ended && ended->status == 0;
}

std::vector<float> MonitorRecording::samples() const {
    const std::string bytes = read_file(file_);
    std::vector<float> samples(bytes.size() / sizeof(float));
    // Nothing recorded yet: no storage to copy into.
    if (!samples.empty()) std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

bool MonitorRecording::wait_until_loud(double level, std::chrono::milliseconds limit) {
    for (const auto give_up = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < give_up; std::this_thread::sleep_for(10ms)) {
        const auto levels = block_rms(samples(), channels_, REFERENCE_BLOCK);
        if (!levels.empty() && levels.back() >= level) return true;
    }
    return false;
}

std::vector<float> MonitorRecording::finish() {
    child_.signal(SIGINT);
    child_.wait_at_most(STOP_GRACE);
    return samples();
}

// ---- PulseDaemon ----

const char* server_kind_name(ServerKind kind) {
    return kind == ServerKind::PipeWire ? "pipewire" : "pulseaudio";
}

std::expected<std::unique_ptr<PulseDaemon>, std::string> PulseDaemon::start(
    PulseDaemonOptions options) {
    auto daemon = std::make_unique<PulseDaemon>(Key{});
    daemon->options_ = options;
    if (options.server) {
        daemon->kind_ = *options.server;
    } else if (const auto chosen = get_env("VMAH_TEST_SERVER"); chosen && !chosen->empty()) {
        if (*chosen == "pipewire") {
            daemon->kind_ = ServerKind::PipeWire;
        } else if (*chosen != "pulseaudio") {
            return std::unexpected("VMAH_TEST_SERVER must be pulseaudio or pipewire, not " +
                                   *chosen);
        }
    }
    const bool pipewire = daemon->kind_ == ServerKind::PipeWire;

    // mkdtemp creates the directory with mode 0700. /tmp keeps the socket path
    // well under the 108 bytes a unix socket address allows.
    char templ[] = "/tmp/vmah-pulse-XXXXXX";
    if (::mkdtemp(templ) == nullptr) return std::unexpected(errno_text("mkdtemp", errno));
    daemon->dir_ = templ;
    // pipewire-pulse puts its socket where a desktop session has it: <runtime dir>/pulse.
    daemon->socket_path_ = daemon->dir_ + (pipewire ? "/pulse/native" : "/native");
    daemon->server_ = "unix:" + daemon->socket_path_;
    daemon->client_config_ = daemon->dir_ + "/client.conf";
    daemon->log_path_ = daemon->dir_ + "/daemon.log";
    {
        std::ofstream conf(daemon->client_config_);
        conf << "autospawn = no\n"
             << "cookie-file = " << daemon->dir_ << "/client-cookie\n";
        if (!conf) return std::unexpected("cannot write " + daemon->client_config_);
    }
    if (pipewire) {
        // wireplumber would otherwise take the host's sound cards, cameras and Bluetooth
        // devices: the server's only outputs are the sinks a test loads.
        const auto scripts = std::filesystem::path(daemon->dir_) / "wireplumber";
        std::error_code error;
        std::filesystem::create_directories(scripts / "main.lua.d", error);
        std::filesystem::create_directories(scripts / "bluetooth.lua.d", error);
        std::ofstream main(scripts / "main.lua.d" / "60-test-devices-off.lua");
        main << "alsa_monitor.enabled = false\n"
             << "v4l2_monitor.enabled = false\n"
             << "libcamera_monitor.enabled = false\n";
        std::ofstream bluetooth(scripts / "bluetooth.lua.d" / "60-test-devices-off.lua");
        bluetooth << "bluez_monitor.enabled = false\n";
        if (error || !main || !bluetooth)
            return std::unexpected("cannot write " + scripts.string());

        const std::string bus = daemon->dir_ + "/bus";
        auto child = ChildProcess::spawn(
            {"dbus-daemon", "--session", "--address=unix:path=" + bus, "--nofork", "--nopidfile"},
            daemon->server_env(), {.log_path = daemon->log_path_});
        if (!child) return std::unexpected(child.error());
        daemon->bus_ = std::move(*child);
        if (auto up = wait_accepting(daemon->bus_, bus, "dbus-daemon", daemon->log_path_); !up) {
            return std::unexpected(up.error());
        }
    }

    if (auto launched = daemon->launch(); !launched) return std::unexpected(launched.error());
    return daemon;
}

PulseDaemon::~PulseDaemon() {
    if (exported_) {
        restore_env("PULSE_SERVER", saved_server_);
        restore_env("PULSE_CLIENTCONFIG", saved_client_config_);
        restore_env("PIPEWIRE_RUNTIME_DIR", saved_pipewire_dir_);
    }
    stop_server(false);
    bus_.terminate(STOP_GRACE);
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::string> PulseDaemon::server_env() const {
    return {
        path_entry(),
        "HOME=" + dir_,
        "XDG_RUNTIME_DIR=" + dir_,
        "XDG_CONFIG_HOME=" + dir_,
        // PulseAudio: a bus address that cannot work, so the daemon never tries to launch
        // one. PipeWire: the private bus.
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir_ +
            (kind_ == ServerKind::PipeWire ? "/bus" : "/no-bus"),
        // Never the host's system bus: no logind, no rtkit, no device reservation.
        "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir_ + "/no-system-bus",
        "LANG=C",
    };
}

std::expected<void, std::string> PulseDaemon::launch() {
    auto launched = kind_ == ServerKind::PipeWire ? launch_pipewire() : launch_pulseaudio();
    if (!launched) stop_server(true);
    return launched;
}

std::expected<void, std::string> PulseDaemon::launch_pulseaudio() {
    // -n skips the default script; --system=no is the default but says that running
    // as root here is deliberate (the daemon only warns about it). Realtime and
    // nice changes are off: a test server needs neither, and root could get them.
    std::vector<std::string> argv = {
        "pulseaudio",          "-n",
        "--daemonize=no",      "--system=no",
        "--exit-idle-time=-1", "--disallow-exit",
        "--use-pid-file=no",   "--realtime=no",
        "--high-priority=no",  "--no-cpu-limit=yes",
        "--log-target=stderr",
    };
    if (!options_.shared_memory) argv.push_back("--disable-shm=yes");
    // The sink is loaded before the socket opens, so a client that connects sees it.
    if (options_.null_sink) {
        argv.push_back(std::string("--load=module-null-sink sink_name=") + SINK_NAME +
                       " rate=48000");
    }
    argv.push_back("--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket_path_);

    auto child = ChildProcess::spawn(argv, server_env(), {.log_path = log_path_});
    if (!child) return std::unexpected(child.error());
    server_processes_.push_back(std::move(*child));
    return wait_accepting(serving(), socket_path_, "pulseaudio", log_path_);
}

std::expected<void, std::string> PulseDaemon::launch_pipewire() {
    // Without CAP_SYS_NICE the processes keep ordinary scheduling (as root they would
    // make their threads realtime, which a test server does not need).
    const std::vector<std::string> no_realtime = {"setpriv", "--inh-caps=-sys_nice",
                                                  "--bounding-set=-sys_nice", "--"};
    const auto spawn = [&](const std::string& program) -> std::expected<void, std::string> {
        auto argv = no_realtime;
        argv.push_back(program);
        auto child = ChildProcess::spawn(argv, server_env(), {.log_path = log_path_});
        if (!child) return std::unexpected(child.error());
        server_processes_.push_back(std::move(*child));
        return {};
    };
    // wireplumber and pipewire-pulse give up when pipewire is not there yet.
    if (auto up = spawn("pipewire"); !up) return up;
    if (auto up = wait_accepting(serving(), dir_ + "/pipewire-0", "pipewire", log_path_); !up) {
        return up;
    }
    if (auto up = spawn("wireplumber"); !up) return up;
    if (auto up = spawn("pipewire-pulse"); !up) return up;
    if (auto up = wait_accepting(serving(), socket_path_, "pipewire-pulse", log_path_); !up) {
        return up;
    }
    // pipewire-pulse's stock configuration loads module-always-sink, which adds a "Dummy
    // Output" (auto_null) whenever no other sink exists, as PulseAudio's default script
    // does. The PulseAudio daemon here runs without that script: the same for PipeWire,
    // so that "no outputs" and "the sink is gone" mean the same on both.
    // pipewire-pulse accepts connections before all of its modules and the daemon's node
    // factories are in place, and before wireplumber has made the metadata that holds the
    // default sink (a busy machine shows it: "Not supported"), so the first commands are
    // tried again for a while.
    const auto retried = [](auto command) {
        const auto deadline = std::chrono::steady_clock::now() + READY_LIMIT;
        for (;;) {
            auto outcome = command();
            if (outcome || std::chrono::steady_clock::now() >= deadline) return outcome;
            std::this_thread::sleep_for(100ms);
        }
    };
    if (auto unloaded = retried([&] {
            return pactl({"unload-module", "module-always-sink"});
        });
        !unloaded) {
        return std::unexpected(unloaded.error());
    }
    if (!options_.null_sink) {
        return wait_until(
            {"list", "short", "sinks"}, [](const std::string& sinks) { return sinks.empty(); },
            "no sinks");
    }
    // A sink counts as there once the server lists it; it is the default once wireplumber
    // has made it so.
    if (auto loaded = retried([&] { return load_sink(SINK_NAME); }); !loaded) {
        return std::unexpected(loaded.error());
    }
    return retried([&] { return set_default_sink(SINK_NAME); });
}

std::expected<void, std::string> PulseDaemon::wait_accepting(ChildProcess& process,
                                                             const std::string& socket_path,
                                                             const std::string& name,
                                                             const std::string& log_path) {
    const auto deadline = std::chrono::steady_clock::now() + READY_LIMIT;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_path.c_str(), sizeof(addr.sun_path) - 1);
    while (true) {
        if (!process.running()) {
            return std::unexpected(name + " exited during start:\n" + read_file(log_path));
        }
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return std::unexpected(errno_text("socket", errno));
        const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
        ::close(fd);
        if (ok) return {};
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::unexpected(name + " did not accept connections in time:\n" +
                                   read_file(log_path));
        }
        std::this_thread::sleep_for(20ms);
    }
}

std::expected<void, std::string> PulseDaemon::wait_until(
    const std::vector<std::string>& pactl_args, const std::function<bool(const std::string&)>& done,
    const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + READY_LIMIT;
    while (true) {
        auto out = pactl(pactl_args);
        if (out && done(*out)) return {};
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::unexpected("the server never showed " + what + "; last answer:\n" +
                                   (out ? *out : out.error()) + "\nlog:\n" + log());
        }
        std::this_thread::sleep_for(20ms);
    }
}

std::expected<void, std::string> PulseDaemon::wait_until(const std::vector<std::string>& pactl_args,
                                                         const std::string& expected_text) {
    return wait_until(
        pactl_args,
        [&](const std::string& out) { return out.find(expected_text) != std::string::npos; },
        "\"" + expected_text + "\"");
}

void PulseDaemon::stop_server(bool crash) {
    thaw();
    // A crash takes the daemon first: its clients see the connection end, not its sinks go
    // one by one as the processes that own them end.
    if (crash && !server_processes_.empty()) {
        server_processes_.front().kill_now();
        server_processes_.erase(server_processes_.begin());
    }
    while (!server_processes_.empty()) {
        if (crash) {
            server_processes_.back().kill_now();
        } else {
            server_processes_.back().terminate(STOP_GRACE);
        }
        server_processes_.pop_back();
    }
}

std::string PulseDaemon::log() const { return read_file(log_path_); }

void PulseDaemon::export_environment() {
    if (!exported_) {
        saved_server_ = get_env("PULSE_SERVER");
        saved_client_config_ = get_env("PULSE_CLIENTCONFIG");
        saved_pipewire_dir_ = get_env("PIPEWIRE_RUNTIME_DIR");
        exported_ = true;
    }
    ::setenv("PULSE_SERVER", server_.c_str(), 1);
    ::setenv("PULSE_CLIENTCONFIG", client_config_.c_str(), 1);
    // PipeWire's clients look here; a PulseAudio daemon's directory has no PipeWire socket.
    ::setenv("PIPEWIRE_RUNTIME_DIR", dir_.c_str(), 1);
}

bool PulseDaemon::running() { return !server_processes_.empty() && serving().running(); }

void PulseDaemon::kill() { stop_server(true); }

void PulseDaemon::freeze() {
    // Every process: PipeWire's clients talk to the daemon itself.
    for (auto& process : server_processes_) process.signal(SIGSTOP);
    frozen_ = !server_processes_.empty();
}

void PulseDaemon::thaw() {
    if (!frozen_) return;
    for (auto& process : server_processes_) process.signal(SIGCONT);
    frozen_ = false;
}

std::expected<void, std::string> PulseDaemon::restart() {
    stop_server(false);
    return launch();
}

std::vector<std::string> PulseDaemon::client_env() const {
    return {
        path_entry(),
        "HOME=" + dir_,
        "XDG_RUNTIME_DIR=" + dir_,
        "XDG_CONFIG_HOME=" + dir_,
        "PULSE_SERVER=" + server_,
        "PULSE_CLIENTCONFIG=" + client_config_,
        "LANG=C",
    };
}

std::vector<std::string> pacat_command(std::uint32_t rate, std::uint32_t channels,
                                       const std::string& device, const std::string& client_name,
                                       int latency_ms, const std::string& channel_map,
                                       bool record) {
    std::vector<std::string> argv{"pacat",
                                  record ? "--record" : "--playback",
                                  "--raw",
                                  "--format=float32le",
                                  "--rate=" + std::to_string(rate),
                                  "--channels=" + std::to_string(channels),
                                  "--client-name=" + client_name};
    if (!device.empty()) argv.push_back("--device=" + device);
    if (!channel_map.empty()) argv.push_back("--channel-map=" + channel_map);
    if (latency_ms > 0) argv.push_back("--latency-msec=" + std::to_string(latency_ms));
    return argv;
}

std::expected<PcmPlayer, std::string> PulseDaemon::play_pcm(
    std::span<const float> interleaved, std::uint32_t rate, std::uint32_t channels,
    const std::string& sink, const std::string& channel_map, int latency_ms) {
    const std::string file = dir_ + "/pcm-" + std::to_string(next_file_++) + ".raw";
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(interleaved.data()),
                  static_cast<std::streamsize>(interleaved.size_bytes()));
        if (!out) return std::unexpected("cannot write " + file);
    }
    auto argv = pacat_command(rate, channels, sink, "vmah-test", latency_ms, channel_map);
    argv.push_back(file);
    auto child = ChildProcess::spawn(argv, client_env(), {.log_path = file + ".log"});
    if (!child) return std::unexpected(child.error());
    return PcmPlayer(std::move(*child));
}

std::expected<PcmPlayer, std::string> PulseDaemon::play_tone(double frequency, double amplitude,
                                                             double seconds, std::uint32_t rate,
                                                             std::uint32_t channels,
                                                             const std::string& sink,
                                                             int latency_ms) {
    const auto pcm = tone(frequency, amplitude, seconds, rate, channels);
    return play_pcm(pcm, rate, channels, sink, {}, latency_ms);
}

std::expected<MonitorRecording, std::string> PulseDaemon::record_monitor(const std::string& sink,
                                                                         std::uint32_t channels) {
    const std::string name = "vmah-reference-" + std::to_string(next_file_++);
    const std::string file = dir_ + "/" + name + ".raw";
    const int out = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) return std::unexpected(errno_text(file.c_str(), errno));
    // 20 ms: no longer than PipeWire's own graph cycle.
    auto argv = pacat_command(48000, channels, sink + ".monitor", name, 20, {}, true);
    // Root may raise its priority; anyone else gets a warning in the log and ordinary priority.
    argv.insert(argv.begin(), {"nice", "-n", "-10"});
    auto child =
        ChildProcess::spawn(argv, client_env(), {.stdout_fd = out, .log_path = file + ".log"});
    ::close(out);
    if (!child) return std::unexpected(child.error());
    MonitorRecording recording(std::move(*child), file, channels);
    if (auto listed = wait_until({"list", "source-outputs"}, name); !listed) {
        return std::unexpected(listed.error());
    }
    return recording;
}

std::expected<std::string, std::string> PulseDaemon::pactl(const std::vector<std::string>& args) {
    const std::string out = dir_ + "/pactl-" + std::to_string(next_file_++) + ".out";
    std::vector<std::string> argv = {"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = ChildProcess::spawn(argv, client_env(), {.log_path = out});
    if (!child) return std::unexpected(child.error());
    const auto ended = child->wait_for(PACTL_LIMIT);
    std::string text = read_file(out);
    if (!ended) return std::unexpected("pactl did not finish in time");
    if (ended->status != 0) {
        return std::unexpected("pactl failed (" + std::to_string(ended->status) + "): " + text);
    }
    return text;
}

std::expected<std::uint32_t, std::string> PulseDaemon::load_sink(const std::string& name,
                                                                 std::uint32_t channels,
                                                                 const std::string& channel_map) {
    std::vector<std::string> args = {"load-module", "module-null-sink", "sink_name=" + name,
                                     "rate=48000", "channels=" + std::to_string(channels)};
    if (!channel_map.empty()) args.push_back("channel_map=" + channel_map);
    auto loaded = pactl(args);
    if (!loaded) return std::unexpected(loaded.error());
    std::uint32_t index = 0;
    const auto [end, error] =
        std::from_chars(loaded->data(), loaded->data() + loaded->size(), index);
    if (error != std::errc{} || end == loaded->data()) {
        return std::unexpected("load-module printed no module index: " + *loaded);
    }
    // PipeWire creates the sink's node after load-module has answered.
    if (auto listed = wait_until({"list", "short", "sinks"}, "\t" + name + "\t"); !listed) {
        return std::unexpected(listed.error());
    }
    return index;
}

std::expected<void, std::string> PulseDaemon::unload_module(std::uint32_t index) {
    auto unloaded = pactl({"unload-module", std::to_string(index)});
    if (!unloaded) return std::unexpected(unloaded.error());
    return {};
}

std::expected<void, std::string> PulseDaemon::set_default_sink(const std::string& name) {
    if (auto set = pactl({"set-default-sink", name}); !set) return std::unexpected(set.error());
    // On PipeWire the choice takes effect once wireplumber has taken it up.
    return wait_until({"info"}, "Default Sink: " + name + "\n");
}

std::expected<void, std::string> PulseDaemon::move_players_to(const std::string& sink) {
    const auto inputs = pactl({"list", "short", "sink-inputs"});
    if (!inputs) return std::unexpected(inputs.error());
    std::istringstream lines(*inputs);
    for (std::string line; std::getline(lines, line);) {
        const std::string index = line.substr(0, line.find('\t'));
        if (index.empty()) continue;
        if (auto moved = pactl({"move-sink-input", index, sink}); !moved) {
            return std::unexpected(moved.error());
        }
    }
    return {};
}

}  // namespace test_support
