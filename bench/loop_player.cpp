#include "bench/loop_player.h"

#include <chrono>

#include "bench/recorder_runs.h"
#include "tests/support/pulse_daemon.h"
#include "util/write_all.h"

namespace bench {

std::optional<std::string> LoopPlayer::start(LoopPlayer& player, const std::string& file,
                                             const std::string& sink,
                                             const std::vector<std::string>& env,
                                             const std::string& log, int latency_ms) {
    auto pipe = test_support::Pipe::make();
    if (!pipe) return pipe.error();
    const auto argv =
        test_support::pacat_command(RATE, CHANNELS, sink, "vmah-bench-player", latency_ms);
    auto pacat = test_support::ChildProcess::spawn(
        argv, env, test_support::SpawnOptions{.stdin_fd = pipe->read_fd, .log_path = log});
    if (!pacat) return pacat.error();
    pipe->close_read();
    player.pacat_ = std::move(*pacat);
    player.pipe_ = std::move(*pipe);
    player.feeder_ = std::thread([&player, file] { player.feed(file); });
    return std::nullopt;
}

void LoopPlayer::stop() {
    stopped_.store(true);
    // Killing the reader makes a blocked write fail at once (SIGPIPE is ignored).
    pacat_.wait_at_most(std::chrono::milliseconds(0));
    if (feeder_.joinable()) feeder_.join();
    pipe_.close_write();
}

void LoopPlayer::feed(const std::string& file) {
    const std::string bytes = read_file(file);
    while (!stopped_.load() && !bytes.empty()) {
        if (util::write_all(pipe_.write_fd, bytes.data(), bytes.size()).bytes != bytes.size()) {
            ended_.store(true);
            return;
        }
        loops_.fetch_add(1);
    }
}

}  // namespace bench
