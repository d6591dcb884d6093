// The helper's output going wrong under it: a full device, a file system that fills up
// (and one that frees up again), the output removed, replaced or made read-only, a file
// another recording holds, standard output as the output, a pipe that blocks, and a
// parent that closed standard output. Each run must end by itself with the right exit
// status, exactly one status line and no sanitizer report.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/faults/fault_support.h"
#include "tests/support/decoded_audio.h"

namespace faults {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string DISK_FULL =
    "UNAVAILABLE opus/ogg writer: No space left on device (os error 28)\n";

// A whole page is written when its 255 lacing values are used: for dense noise that is
// about every 5 s, the moments the file grows.
constexpr auto PAGE_LIMIT = 15s;

class OutputFaults : public HelperAgainstServer {
protected:
    // A small file system of our own; where mounting is refused the test fails and says why.
    std::unique_ptr<SmallFilesystem> small_filesystem(std::size_t bytes) {
        auto mounted = SmallFilesystem::mount(bytes);
        if (!mounted) {
            ADD_FAILURE() << "cannot mount a small file system here: " << mounted.error();
            return nullptr;
        }
        return std::move(*mounted);
    }

    static bool wait_until_full(const SmallFilesystem& filesystem) {
        const auto give_up = std::chrono::steady_clock::now() + 2 * PAGE_LIMIT;
        while (filesystem.free_bytes() >= 4096) {
            if (std::chrono::steady_clock::now() >= give_up) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
};

// Every write to the file fails from the first: the helper records until its deadline and
// then says that the recording could not be written.
TEST_F(OutputFaults, FullDeviceEndsWithOneUnavailableLine) {
    play_noise(10);
    auto helper = start_helper({"--out", "/dev/full", "--secs", "6"});
    const Outcome outcome = helper->finish(RUN_LIMIT);
    EXPECT_EQ(check_clean_end(outcome), "");
    EXPECT_EQ(outcome.out, DISK_FULL);
    EXPECT_EQ(outcome.err, "");
}

// The file system fills while whole pages are on it. The run ends with one line that does
// not claim success, and what reached the disk is a clean prefix of the stream: both
// headers and every whole page in order, readable to its end.
TEST_F(OutputFaults, FilesystemFillingUpKeepsTheWholePagesBeforeIt) {
    constexpr std::size_t CAPACITY = 64 * 1024;
    const auto filesystem = small_filesystem(CAPACITY);
    ASSERT_NE(filesystem, nullptr);
    const std::string out = filesystem->path() + "/filling.opus";
    play_noise(30);
    const auto started = std::chrono::steady_clock::now();
    auto helper = start_helper({"--out", out});
    ASSERT_TRUE(wait_until_full(*filesystem)) << "the file system never filled";
    const double filled_after =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(helper->running());
    helper->signal(SIGTERM);
    const Outcome outcome = helper->finish(RUN_LIMIT);
    EXPECT_EQ(check_clean_end(outcome), "");
    EXPECT_EQ(outcome.out, DISK_FULL);

    const OggSummary scan = summarize_ogg(out);
    EXPECT_TRUE(scan.headers_first);
    EXPECT_TRUE(scan.sequence_gap_free);
    EXPECT_GE(scan.pages, 3) << "not one whole audio page was kept";
    EXPECT_EQ(scan.skipped, 0);
    EXPECT_EQ(scan.eos_pages, 0);
    EXPECT_EQ(scan.last_granule % 960, 0);
    const auto decoded = test_support::check_opus_file(out);
    EXPECT_TRUE(decoded.opened);
    EXPECT_TRUE(decoded.read_to_end);
    std::printf(
        "file system of %zu bytes full after %.2f s; file %zu bytes, %.2f s of audio "
        "in whole pages\n",
        CAPACITY, filled_after, scan.bytes, static_cast<double>(scan.last_granule) / 48000);
}

// The disk is full when the first audio page is due (12 KiB were left) and has plenty of
// room again a little later: the page that failed is finished from where the disk stopped
// taking it, the run ends with "OK" and the file is finished, readable and nothing but
// pages. Packets that came while the disk was full waited in memory: none is lost.
TEST_F(OutputFaults, SpaceComingBackLetsTheRecordingFinish) {
    constexpr std::size_t CAPACITY = 512 * 1024;
    const auto filesystem = small_filesystem(CAPACITY);
    ASSERT_NE(filesystem, nullptr);
    const std::string ballast = filesystem->path() + "/ballast";
    ASSERT_TRUE(write_ballast(ballast, CAPACITY - 12 * 1024));
    const std::string out = filesystem->path() + "/returning.opus";
    play_noise(30);
    auto helper = start_helper({"--out", out});
    ASSERT_TRUE(wait_until_full(*filesystem)) << "the file system never filled";
    std::this_thread::sleep_for(500ms);
    fs::remove(ballast);
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(helper->running());
    helper->signal(SIGINT);
    const Outcome outcome = helper->finish(RUN_LIMIT);
    EXPECT_EQ(check_clean_end(outcome), "");
    const double seconds = ok_seconds(outcome.out);
    ASSERT_GT(seconds, 0.0) << outcome.out;

    EXPECT_EQ(check_whole_recording(out, seconds), "");
    const OggSummary scan = summarize_ogg(out);
    EXPECT_EQ(scan.eos_pages, 1);
    // The page the disk took in part is finished, not written again whole after it.
    EXPECT_EQ(scan.skipped, 0) << "a torn page";
    const long frames = static_cast<long>(scan.last_granule / 960);
    EXPECT_EQ(scan.audio_packets, frames);
    std::printf(
        "OK %.2f; %ld of %ld audio packets in the file (%ld lost while the disk was "
        "full)\n",
        seconds, scan.audio_packets, frames, frames - scan.audio_packets);
}

// The open file outlives its directory entry. Removing the directory, or replacing the
// file by another of the same name, leaves no recording at the path: the run says so
// instead of "OK". Taking write permission from the directory and the file does not
// stop the run or make it misbehave.
TEST_F(OutputFaults, OutputRemovedReplacedOrReadOnlyWhileRecording) {
    play_noise(10);
    const std::string removed_dir = out_dir() + "/removed";
    const std::string locked_dir = out_dir() + "/locked";
    fs::create_directory(removed_dir);
    fs::create_directory(locked_dir);
    const std::string removed = removed_dir + "/gone.opus";
    const std::string replaced = out_dir() + "/replaced.opus";
    const std::string locked = locked_dir + "/kept.opus";

    auto removed_run = start_helper({"--out", removed, "--secs", "3"});
    auto replaced_run = start_helper({"--out", replaced, "--secs", "3"});
    auto locked_run = start_helper({"--out", locked, "--secs", "3"});
    for (const auto& path : {removed, replaced, locked}) {
        ASSERT_TRUE(wait_for_file(path, 10s)) << path;
    }
    std::this_thread::sleep_for(1s);
    fs::remove_all(removed_dir);
    std::ofstream(replaced + ".new") << "another file";
    fs::rename(replaced + ".new", replaced);
    fs::permissions(locked, fs::perms::owner_read);
    fs::permissions(locked_dir, fs::perms::owner_read | fs::perms::owner_exec);

    const std::string NOT_NAMED =
        "UNAVAILABLE opus/ogg writer: the output file was removed or replaced while recording\n";
    for (auto* run : {&removed_run, &replaced_run}) {
        const Outcome outcome = (*run)->finish(RUN_LIMIT);
        EXPECT_EQ(check_clean_end(outcome), "");
        EXPECT_EQ(outcome.out, NOT_NAMED);
    }
    EXPECT_FALSE(fs::exists(removed_dir)) << "the helper made the directory again";
    std::ifstream in(replaced);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "another file");

    const Outcome locked_outcome = locked_run->finish(RUN_LIMIT);
    EXPECT_EQ(check_clean_end(locked_outcome), "");
    const double seconds = ok_seconds(locked_outcome.out);
    EXPECT_GT(seconds, 1.0) << locked_outcome.out;
    EXPECT_EQ(check_whole_recording(locked, seconds), "");
    fs::permissions(locked_dir, fs::perms::owner_all);
}

// A file is one recording's: a second helper on the same path while the first records is
// refused at once and leaves the first recording whole, and so is one that comes while the
// first has finished the file but its parent has not yet taken the line (here: the parent
// has not yet read its full standard output pipe). Standard output is never the recording,
// however it is named; the null device as both is no conflict.
TEST_F(OutputFaults, OutputTakenByAnotherRecordingOrStandardOutputIsRefused) {
    const std::string IN_USE =
        "UNAVAILABLE opus/ogg writer: the output file is in use: another process holds its lock\n";
    play_noise(10);
    const std::string out = out_dir() + "/shared.opus";
    // The first one's parent reads its line late: its standard output pipe starts full.
    int line_pipe[2];
    ASSERT_EQ(::pipe2(line_pipe, O_CLOEXEC), 0);
    const int filled = ::fcntl(line_pipe[1], F_GETPIPE_SZ);
    ASSERT_EQ(::write(line_pipe[1], std::string(filled, 'x').data(), filled), filled);
    auto first = start_helper_writing_to({"--out", out, "--secs", "3"}, line_pipe[1]);
    ::close(line_pipe[1]);
    ASSERT_TRUE(wait_for_file(out, 10s));
    const auto refused = [&] {
        const Outcome outcome = start_helper({"--out", out})->finish(RUN_LIMIT);
        EXPECT_EQ(check_clean_end(outcome), "");
        return outcome.out;
    };
    EXPECT_EQ(refused(), IN_USE);
    EXPECT_TRUE(first->running()) << "the second run outlived the first";
    // Finished, waiting to give its line: the file is whole and still its.
    for (int i = 0; i < 300 && !summarize_ogg(out).last_is_eos; ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(first->running());
    EXPECT_EQ(refused(), IN_USE) << "the lock went before the line";

    std::string line;
    for (char block[4096]; const ssize_t n = ::read(line_pipe[0], block, sizeof block);)
        line.append(block, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    ::close(line_pipe[0]);
    line.erase(0, filled);
    EXPECT_EQ(first->finish(RUN_LIMIT).exit_status, 0);
    const double seconds = ok_seconds(line);
    EXPECT_GT(seconds, 1.0) << line;
    const OggSummary scan = summarize_ogg(out);
    EXPECT_TRUE(scan.headers_first && scan.last_is_eos);
    EXPECT_EQ(scan.page_bytes, scan.bytes) << "bytes that are not pages";
    EXPECT_TRUE(granule_matches(scan.last_granule, seconds)) << scan.last_granule;
    EXPECT_TRUE(test_support::check_opus_file(out).read_to_end);

    const Outcome own = start_helper({"--out", "/dev/stdout"})->finish(RUN_LIMIT);
    EXPECT_EQ(check_clean_end(own), "");
    EXPECT_EQ(own.out,
              "UNAVAILABLE opus/ogg writer: the output is the helper's own standard output\n");

    // Standard output on /dev/null, or closed (then the helper puts /dev/null there): the
    // run records until its time is up instead of being refused at once.
    for (const Output mode : {Output::Log, Output::Closed}) {
        const auto spawned = Clock::now();
        const Outcome discarded =
            start_helper({"--out", "/dev/null", "--secs", "2"}, mode)->finish(RUN_LIMIT);
        EXPECT_EQ(discarded.exit_status, 0);
        EXPECT_EQ(discarded.err, "");
        EXPECT_GE(Clock::now() - spawned, 2s) << "refused";
    }
}

// A pipe read as a parent reads it: opened `opens` s after the start, nothing taken from
// `pause` until `resume`, at most 4 KiB (the pipe's capacity) per `gap`; the path removed
// at 1.5 s if `removed`. Stopped by SIGINT at `stop` s, or by --secs -`stop`; if `still`,
// the helper is stopped (SIGSTOP) that long after the stop, for 3 s.
struct PipeCase {
    const char* name;
    double opens, pause, resume;
    std::chrono::milliseconds gap;
    bool removed;
    double stop;
    std::string line;  // "OK": the reader has the whole recording
    // From the stop to the helper's end, in s. The upper bounds leave 1.5 s for a loaded
    // machine (twenty sanitized helpers and their neighbours on two cores held every end near
    // one moment back 1.8 s once); the lines, not the times, tell the rules apart.
    double min_end, max_end;
    double still = 0;
};

// A reader that comes late, pauses, or crawls (slower than the recording) loses nothing,
// whether or not the path stays, nor does one that is back just after the helper stood
// still (Ctrl-Z on a pipeline) during its final flush: that time is nobody's slowness. No reader by
// the stop, a reader stuck at the stop, or one too slow to take the rest within the ceiling: the
// line says which, within its bound.
TEST_F(OutputFaults, PipeReadersThatComeLatePauseOrCrawl) {
    const std::string W = "UNAVAILABLE opus/ogg writer: the output ";
    const std::vector<PipeCase> cases = {
        {"late", 1.5, 99, 99, 0ms, false, 4, "OK", 0, 3},
        {"paused", 0, 1, 5, 0ms, false, 7, "OK", 0, 3},
        {"removed", 0, 99, 99, 0ms, true, 3, "OK", 0, 3},
        {"crawling", 0, 99, 99, 800ms, false, 4, "OK", 0, 10.5},
        {"stood-still", 0, 2, 6.4, 0ms, false, 3, "OK", 3.3, 6, 0.35},
        {"never", 99, 99, 99, 0ms, false, 2, W + "is a pipe that no process reads\n", 0, 3},
        {"never-deadline", 99, 99, 99, 0ms, false, -3, W + "is a pipe that no process reads\n", 0,
         3},
        {"stuck", 0, 2, 99, 0ms, false, 4, W + "stopped taking data (nothing written for 2 s)\n",
         1.8, 4.5},
        {"stuck-deadline", 0, 2, 99, 0ms, false, -4,
         W + "stopped taking data (nothing written for 2 s)\n", 1.8, 5},
        {"ceiling", 0, 0.5, 9.5, 1000ms, false, 9,
         W + "did not take the end of the recording within 10 s\n", 9.8, 12.5},
    };
    play_noise(30);
    std::vector<std::thread> readers;
    for (const PipeCase& c : cases) {
        const std::string pipe = out_dir() + "/" + c.name + ".fifo";
        ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
        const std::string secs = std::to_string(c.stop < 0 ? static_cast<int>(-c.stop) : 600);
        // Started from this thread, which outlives them.
        std::shared_ptr helper = start_helper({"--out", pipe, "--secs", secs});
        readers.emplace_back([this, &c, pipe, helper, spawned = Clock::now()] {
            const auto since = [&] {
                return std::chrono::duration<double>(Clock::now() - spawned).count();
            };
            std::string got;
            int fd = -1;
            double stopped = -c.stop, ended = -1, next_read = 0;
            // Each signal goes once: a SIGCONT sent again as the helper exits would cancel the
            // stop that ASan's leak check at exit waits for, and leave it waiting.
            int signalled = 0;
            for (bool written_to = false;; std::this_thread::sleep_for(2ms)) {
                const double t = since();
                if (c.removed && t >= 1.5 && fs::exists(pipe)) fs::remove(pipe);
                if (c.stop > 0 && t >= c.stop && helper->signal(SIGINT)) stopped = c.stop;
                if (c.still > 0 && t >= c.stop + c.still && signalled == 0) {
                    signalled = helper->signal(SIGSTOP) ? 1 : 0;
                }
                if (signalled == 1 && t >= c.stop + c.still + 3) {
                    signalled = helper->signal(SIGCONT) ? 2 : 1;
                }
                if (ended < 0 && !helper->running()) ended = t;
                if (fd < 0 && t >= c.opens) {
                    fd = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
                    ::fcntl(fd, F_SETPIPE_SZ, 4096);
                }
                if (fd < 0 || (ended < 0 && (t < next_read || (t >= c.pause && t < c.resume)))) {
                    if (ended >= 0 && fd < 0) break;
                    continue;
                }
                char block[4096];
                const ssize_t n = ::read(fd, block, sizeof block);
                if (n > 0) got.append(block, static_cast<std::size_t>(n));
                if (n > 0) next_read = t + std::chrono::duration<double>(c.gap).count();
                if (n == 0 && (written_to || ended >= 0)) break;
                written_to = written_to || n > 0;
            }
            if (fd >= 0) ::close(fd);
            const Outcome outcome = helper->finish(RUN_LIMIT);
            if (ended < 0) ended = since();  // it closed the pipe as it ended
            SCOPED_TRACE(c.name);
            EXPECT_EQ(check_clean_end(outcome), "");
            EXPECT_GE(ended - stopped, c.min_end);
            EXPECT_LE(ended - stopped, c.max_end);
            std::printf("%-15s ended %.2f s after the stop: %s", c.name, ended - stopped,
                        outcome.out.c_str());
            if (c.line != "OK") {
                EXPECT_EQ(outcome.out, c.line);
                return;
            }
            const double seconds = ok_seconds(outcome.out);
            EXPECT_GT(seconds, c.stop - 1.0) << "not from the start";
            const std::string file = out_dir() + "/" + c.name + ".got";
            std::ofstream(file, std::ios::binary) << got;
            EXPECT_EQ(check_whole_recording(file, seconds), "");
            const OggSummary scan = summarize_ogg(file);
            EXPECT_EQ(scan.audio_packets, scan.last_granule / 960) << "packets lost";
        });
        EXPECT_TRUE(wait_recording(*helper)) << c.name;
    }
    for (auto& reader : readers) reader.join();
}

// The first line on `fd` within `limit`, or what came until then.
std::string read_line(int fd, std::chrono::milliseconds limit) {
    std::string got;
    const auto give_up = Clock::now() + limit;
    while (!got.ends_with('\n') && Clock::now() < give_up) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 10) != 1) continue;
        char c;
        if (::read(fd, &c, 1) != 1) break;
        got += c;
    }
    return got;
}

// Storage that stops taking writes (a hung network mount, a failing stick) with writes
// waiting on it when the stop comes: the stop is answered within its bound by the line that
// says so, never by an OK that counts time after the stop. Thawed within the bound, the
// recording ends with "OK" and a whole file.
TEST_F(OutputFaults, StopIsAnsweredWhileTheStorageIsFrozen) {
    auto mounted = SmallFilesystem::mount_freezable(64 << 20);
    ASSERT_TRUE(mounted.has_value()) << mounted.error();
    SmallFilesystem& filesystem = **mounted;
    play_noise(30);
    for (const double thaw_after : {4.0, 1.0}) {
        SCOPED_TRACE(thaw_after);
        const std::string out = filesystem.path() + "/frozen.opus";
        int line_pipe[2];
        ASSERT_EQ(::pipe2(line_pipe, O_CLOEXEC), 0);
        auto helper = start_helper_writing_to({"--out", out}, line_pipe[1]);
        ::close(line_pipe[1]);
        ASSERT_TRUE(wait_for_file(out, 10s));
        const auto capturing = Clock::now();
        std::this_thread::sleep_for(1500ms);
        ASSERT_TRUE(filesystem.freeze());
        // Pages come every few seconds: by now the helper has a write waiting.
        std::this_thread::sleep_for(6s);
        const auto stopped = Clock::now();
        helper->signal(SIGINT);
        std::jthread thawer([&] {
            std::this_thread::sleep_for(std::chrono::duration<double>(thaw_after));
            filesystem.thaw();
        });
        const std::string line = read_line(line_pipe[0], 12s);
        const double answered = std::chrono::duration<double>(Clock::now() - stopped).count();
        thawer.join();
        ::close(line_pipe[0]);
        EXPECT_EQ(helper->finish(RUN_LIMIT).exit_status, 0);
        std::printf("thawed %.1f s after the stop: answered after %.2f s: %s", thaw_after, answered,
                    line.c_str());
        EXPECT_LE(answered, 2.5);
        if (thaw_after > 2.5) {
            EXPECT_EQ(line,
                      "UNAVAILABLE opus/ogg writer: the output stopped taking data (nothing "
                      "written for 2 s)\n");
            continue;
        }
        const double seconds = ok_seconds(line);
        EXPECT_GT(seconds, 2.5) << line;
        EXPECT_LE(seconds, std::chrono::duration<double>(stopped - capturing).count() + 0.1);
        EXPECT_EQ(check_whole_recording(out, seconds), "");
    }
}

// Nobody reads the status line: the reader has gone, or there is no standard output at
// all. The helper must neither die of it nor write the line anywhere else, such as into
// the recording that may have taken descriptor 1.
TEST_F(OutputFaults, ClosedStandardOutputIsNeitherFatalNorWrittenElsewhere) {
    for (const Output mode : {Output::ReaderGone, Output::Closed}) {
        SCOPED_TRACE(mode == Output::Closed ? "no descriptor 1" : "reader gone");
        const std::string out =
            out_dir() + (mode == Output::Closed ? "/closed.opus" : "/gone.opus");
        auto recording = start_helper({"--out", out, "--secs", "1"}, mode);
        Outcome outcome = recording->finish(RUN_LIMIT);
        EXPECT_FALSE(outcome.hung);
        EXPECT_EQ(outcome.term_signal, 0);
        EXPECT_EQ(outcome.exit_status, 0);
        EXPECT_EQ(outcome.err, "");
        const OggSummary scan = summarize_ogg(out);
        EXPECT_EQ(scan.page_bytes, scan.bytes) << "bytes that are not pages in the recording";
        EXPECT_TRUE(scan.headers_first);
        EXPECT_TRUE(scan.last_is_eos);
        EXPECT_TRUE(test_support::check_opus_file(out).read_to_end);

        // Set-up failures print and end at once: also without a reader.
        auto failing = start_helper({"--out", out_dir() + "/missing/x.opus"}, mode);
        outcome = failing->finish(RUN_LIMIT);
        EXPECT_FALSE(outcome.hung);
        EXPECT_EQ(outcome.term_signal, 0);
        EXPECT_EQ(outcome.exit_status, 0);
        auto missing = start_helper({"--secs", "1"}, mode);
        outcome = missing->finish(RUN_LIMIT);
        EXPECT_EQ(outcome.term_signal, 0);
        EXPECT_EQ(outcome.exit_status, 2);
        EXPECT_EQ(outcome.err, "UNAVAILABLE missing --out\n");
    }
}

// Without descriptor 1 the recording is the first file opened, and would take that number.
// A start that fails after the file was created must then leave it empty, as it does when
// standard output is there, rather than holding the status line. The server is frozen the
// moment the file appears, so the start request times out.
TEST_F(OutputFaults, FailedStartWithoutStandardOutputLeavesTheFileEmpty) {
    constexpr int ATTEMPTS = 5;
    const std::string out = out_dir() + "/unstarted.opus";
    bool start_failed = false;
    for (int attempt = 0; attempt < ATTEMPTS && !start_failed; ++attempt) {
        fs::remove(out);
        const auto spawned = std::chrono::steady_clock::now();
        auto helper = start_helper({"--out", out, "--secs", "8"}, Output::Closed);
        while (!fs::exists(out) && helper->running()) std::this_thread::sleep_for(100us);
        server->freeze();
        const Outcome outcome = helper->finish(RUN_LIMIT);
        server->thaw();
        EXPECT_FALSE(outcome.hung);
        EXPECT_EQ(outcome.term_signal, 0);
        EXPECT_EQ(outcome.exit_status, 0);
        // Ending before the deadline means the start failed; otherwise the freeze came too
        // late and the run recorded, which proves nothing here.
        start_failed = std::chrono::steady_clock::now() - spawned < 6s;
    }
    ASSERT_TRUE(start_failed) << "the start never failed in " << ATTEMPTS << " attempts";
    std::ifstream in(out, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(bytes, "") << "the recording holds what standard output should have had";
}

}  // namespace
}  // namespace faults
