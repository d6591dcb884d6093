#pragma once

// What the fault tests share: a private sound server with the helper's environment, a
// small file system of the test's own, and an independent reading of what reached a file.

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/helper_child.h"
#include "tests/support/ogg_reading.h"
#include "tests/support/pulse_daemon.h"

namespace faults {

using namespace std::chrono_literals;
using test_support::ChildProcess;
using test_support::granule_matches;
using test_support::OggSummary;
using test_support::Outcome;
using test_support::Output;
using test_support::summarize_ogg;

// How long a run may take before the test gives up on it.
constexpr auto RUN_LIMIT = 40s;

// Everything a sane end looks like: exited by itself within the limit, with `status`,
// without a sanitizer report, and exactly one status line on standard output. Returns a
// description of what is wrong, or an empty string.
std::string check_clean_end(const Outcome& outcome, int status = 0);

// The duration of an output that is exactly one "OK {seconds}" line, or a negative value.
inline double ok_seconds(const std::string& out) {
    return test_support::ok_seconds(out).value_or(-1.0);
}

// What a whole recording of `seconds` looks like: headers first, no page missing, the end
// marked, nothing but pages, a last granule position that fits the duration, and Opus that
// decodes to the end. Returns a description of what is wrong, or an empty string.
std::string check_whole_recording(const std::string& path, double seconds);

// A tmpfs of `bytes`, mounted in a mount namespace private to this test process, so it
// vanishes with the process whatever happens. Fails where mounting is not allowed.
// The freezable kind is an ext4 on a loop device instead, whose writes can be held up as
// stalled storage holds them (fsfreeze); it is thawed again before it goes.
class SmallFilesystem {
public:
    static std::expected<std::unique_ptr<SmallFilesystem>, std::string> mount(std::size_t bytes);
    static std::expected<std::unique_ptr<SmallFilesystem>, std::string> mount_freezable(
        std::size_t bytes);
    ~SmallFilesystem();
    // Writes wait from freeze() to thaw(). False where the tool refuses.
    bool freeze();
    bool thaw();
    const std::string& path() const { return path_; }
    // Bytes a new write could still take.
    std::size_t free_bytes() const;

    struct Key {};
    explicit SmallFilesystem(Key) {}

private:
    std::string path_;
    std::string image_;
    bool frozen_ = false;
};

// Fills `path` with a file of `bytes` zero bytes.
bool write_ballast(const std::string& path, std::size_t bytes);

// Interleaved stereo white noise at 48 kHz: the densest audio the encoder sees, so the
// file grows as fast as it ever does.
std::vector<float> white_noise(double seconds, float level);

// A private sound server with a null sink, and the helper run against it as its parent
// would run it.
class HelperAgainstServer : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::vector<std::string> environment() const;
    // Standard error on a pipe; standard output as `stdout_mode` says.
    std::unique_ptr<ChildProcess> start_helper(std::vector<std::string> args,
                                               Output stdout_mode = Output::Pipe,
                                               bool block_stop_signals = false) const;
    // Standard error on a pipe; standard output to `stdout_fd`, which the test keeps.
    std::unique_ptr<ChildProcess> start_helper_writing_to(std::vector<std::string> args,
                                                          int stdout_fd) const;
    // Waits (bounded) until a PulseAudio server lists `helper`'s recording stream.
    // A PulseAudio server keeps at most six connections waiting to be accepted: helpers
    // started together on a loaded machine wait for each other this way, or the last are
    // refused.
    bool wait_recording(const ChildProcess& helper) const;
    // Plays noise into the sink for `seconds` (the player is stopped at tear-down).
    void play_noise(double seconds);
    // Where test files go: a directory inside the server's private one.
    std::string out_dir() const;
    // Waits (bounded) until `path` exists: the helper has created its writer and is about
    // to start capture.
    static bool wait_for_file(const std::string& path, std::chrono::milliseconds limit);

    std::unique_ptr<test_support::PulseDaemon> server;
    std::vector<test_support::PcmPlayer> players;
};

}  // namespace faults
