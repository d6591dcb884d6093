#include "tests/faults/fault_support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "tests/support/decoded_audio.h"

namespace faults {

namespace fs = std::filesystem;

std::string check_clean_end(const Outcome& outcome, int status) {
    std::string problems;
    if (outcome.hung) problems += "did not end in time; ";
    if (outcome.term_signal != 0) {
        problems += "killed by signal " + std::to_string(outcome.term_signal) + "; ";
    }
    if (outcome.exit_status != status) {
        problems += "exit status " + std::to_string(outcome.exit_status) + "; ";
    }
    for (const char* report : {"Sanitizer", "runtime error:", "terminate called"}) {
        if (outcome.err.find(report) != std::string::npos)
            problems += std::string(report) + " on stderr; ";
    }
    const bool one_line =
        outcome.out.ends_with('\n') && outcome.out.find('\n') == outcome.out.size() - 1;
    const bool unavailable = outcome.out.starts_with("UNAVAILABLE ") && outcome.out.size() > 13;
    if (!one_line || (!unavailable && !test_support::ok_seconds(outcome.out))) {
        problems += "not one status line; ";
    }
    if (!problems.empty()) {
        problems += "stdout [" + outcome.out + "] stderr [" + outcome.err + "]";
    }
    return problems;
}

std::string check_whole_recording(const std::string& path, double seconds) {
    const OggSummary scan = summarize_ogg(path);
    std::string wrong;
    const auto expect = [&](bool holds, const char* what) {
        if (!holds) wrong += std::string(wrong.empty() ? "" : "; ") + what;
    };
    expect(scan.headers_first, "headers not first");
    expect(scan.sequence_gap_free, "a page missing");
    expect(scan.last_is_eos, "no end-of-stream mark last");
    expect(scan.page_bytes == scan.bytes, "bytes that are not pages");
    expect(granule_matches(scan.last_granule, seconds),
           "last granule position does not fit the duration");
    expect(test_support::check_opus_file(path).read_to_end, "does not decode to the end");
    return wrong;
}

namespace {

// Mounts made from here on are this process's (and its children's) alone. Gives the
// directory to mount on.
std::expected<std::string, std::string> private_mount_point() {
    if (::unshare(CLONE_NEWNS) != 0) {
        return std::unexpected(std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno));
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::unexpected(std::string("private mounts: ") + std::strerror(errno));
    }
    char templ[] = "/tmp/vmah-faults-fs-XXXXXX";
    if (::mkdtemp(templ) == nullptr)
        return std::unexpected(std::string("mkdtemp: ") + std::strerror(errno));
    return std::string(templ);
}

bool run_quietly(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

std::expected<std::unique_ptr<SmallFilesystem>, std::string> SmallFilesystem::mount_freezable(
    std::size_t bytes) {
    auto point = private_mount_point();
    if (!point) return std::unexpected(point.error());
    auto filesystem = std::make_unique<SmallFilesystem>(Key{});
    filesystem->image_ = *point + ".img";
    if (!run_quietly("truncate -s " + std::to_string(bytes) + " " + filesystem->image_) ||
        !run_quietly("mkfs.ext4 -q -F " + filesystem->image_) ||
        !run_quietly("mount -o loop " + filesystem->image_ + " " + *point)) {
        ::rmdir(point->c_str());
        ::unlink(filesystem->image_.c_str());
        return std::unexpected("cannot mount an ext4 image on a loop device");
    }
    filesystem->path_ = *point;
    return filesystem;
}

bool SmallFilesystem::freeze() {
    frozen_ = run_quietly("fsfreeze -f " + path_);
    return frozen_;
}

bool SmallFilesystem::thaw() {
    if (frozen_) frozen_ = !run_quietly("fsfreeze -u " + path_);
    return !frozen_;
}

std::expected<std::unique_ptr<SmallFilesystem>, std::string> SmallFilesystem::mount(
    std::size_t bytes) {
    auto point = private_mount_point();
    if (!point) return std::unexpected(point.error());
    char* templ = point->data();
    auto filesystem = std::make_unique<SmallFilesystem>(Key{});
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    if (::mount("tmpfs", templ, "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        const int code = errno;
        ::rmdir(templ);
        return std::unexpected(std::string("mount tmpfs: ") + std::strerror(code));
    }
    filesystem->path_ = templ;
    return filesystem;
}

SmallFilesystem::~SmallFilesystem() {
    if (path_.empty()) return;
    thaw();
    ::umount2(path_.c_str(), MNT_DETACH);
    ::rmdir(path_.c_str());
    if (!image_.empty()) ::unlink(image_.c_str());
}

std::size_t SmallFilesystem::free_bytes() const {
    struct statvfs info {};
    if (::statvfs(path_.c_str(), &info) != 0) return 0;
    return static_cast<std::size_t>(info.f_bavail) * info.f_frsize;
}

bool write_ballast(const std::string& path, std::size_t bytes) {
    std::ofstream out(path, std::ios::binary);
    const std::vector<char> zeros(bytes, 0);
    out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    out.close();
    return static_cast<bool>(out);
}

std::vector<float> white_noise(double seconds, float level) {
    std::vector<float> pcm(static_cast<std::size_t>(seconds * 48000) * 2);
    std::uint32_t state = 0x12345678;
    for (float& sample : pcm) {
        state = state * 1664525u + 1013904223u;
        sample = level * (static_cast<float>(state >> 8) / 8388608.0f - 1.0f);
    }
    return pcm;
}

void HelperAgainstServer::SetUp() {
    auto started = test_support::PulseDaemon::start();
    ASSERT_TRUE(started.has_value()) << started.error();
    server = std::move(*started);
    fs::create_directory(out_dir());
}

void HelperAgainstServer::TearDown() {
    for (auto& player : players) player.stop();
    players.clear();
}

std::vector<std::string> HelperAgainstServer::environment() const {
    return test_support::helper_environment(*server);
}

std::unique_ptr<ChildProcess> HelperAgainstServer::start_helper(std::vector<std::string> args,
                                                                Output stdout_mode,
                                                                bool block_stop_signals) const {
    args.insert(args.begin(), test_support::helper_binary());
    return std::make_unique<ChildProcess>(
        ChildProcess::start(args, environment(),
                            {.stdout_to = stdout_mode,
                             .stderr_to = Output::Pipe,
                             .block_stop_signals = block_stop_signals}));
}

std::unique_ptr<ChildProcess> HelperAgainstServer::start_helper_writing_to(
    std::vector<std::string> args, int stdout_fd) const {
    args.insert(args.begin(), test_support::helper_binary());
    return std::make_unique<ChildProcess>(ChildProcess::start(
        args, environment(), {.stdout_fd = stdout_fd, .stderr_to = Output::Pipe}));
}

bool HelperAgainstServer::wait_recording(const ChildProcess& helper) const {
    // PipeWire's sockets take far more; and pactl does not list a native PipeWire stream.
    if (server->kind() != test_support::ServerKind::PulseAudio) return true;
    const std::string own = "application.process.id = \"" + std::to_string(helper.pid()) + "\"";
    return server->wait_until({"list", "source-outputs"}, own).has_value();
}

void HelperAgainstServer::play_noise(double seconds) {
    auto player = server->play_pcm(white_noise(seconds, 0.8f), 48000, 2);
    ASSERT_TRUE(player.has_value()) << player.error();
    players.push_back(std::move(*player));
}

std::string HelperAgainstServer::out_dir() const { return server->directory() + "/out"; }

bool HelperAgainstServer::wait_for_file(const std::string& path, std::chrono::milliseconds limit) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < give_up) {
        if (fs::exists(path)) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

}  // namespace faults
