// The whole run, in this process, over the scripted platform: what a run prints, what it
// records, and the order in which it gives back what it set up.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/bridge/bridge.h"
#include "platform/model/platform.h"
#include "src/capture_control.h"
#include "src/run.h"
#include "tests/support/decoded_audio.h"
#include "tests/support/scripted_fixture.h"
#include "tests/support/tone_meter.h"

// ---- Releases the binding asks the bridge for, in order (the binary links with --wrap) ----

namespace {

std::mutex EVENTS_MUTEX;
std::vector<std::string> EVENTS;
std::vector<sc_display*> DISPLAYS_HANDED_OUT;

void note(std::string event) {
    std::lock_guard lock(EVENTS_MUTEX);
    EVENTS.push_back(std::move(event));
}

std::string display_name(sc_display* display) {
    std::lock_guard lock(EVENTS_MUTEX);
    const auto found = std::find(DISPLAYS_HANDED_OUT.begin(), DISPLAYS_HANDED_OUT.end(), display);
    if (found == DISPLAYS_HANDED_OUT.end()) return "display ?";
    return "display " + std::to_string(found - DISPLAYS_HANDED_OUT.begin());
}

}  // namespace

extern "C" {
void __real_sc_stream_release(sc_stream* stream);
void __real_sc_stream_configuration_release(sc_stream_configuration* configuration);
void __real_sc_content_filter_release(sc_content_filter* filter);
void __real_sc_display_release(sc_display* display);
void __real_sc_shareable_content_release(sc_shareable_content* content);
sc_display* __real_sc_shareable_content_get_display_at(sc_shareable_content* content,
                                                       int64_t index);

void __wrap_sc_stream_release(sc_stream* stream) {
    note("stream");
    __real_sc_stream_release(stream);
}
void __wrap_sc_stream_configuration_release(sc_stream_configuration* configuration) {
    note("configuration");
    __real_sc_stream_configuration_release(configuration);
}
void __wrap_sc_content_filter_release(sc_content_filter* filter) {
    note("filter");
    __real_sc_content_filter_release(filter);
}
void __wrap_sc_display_release(sc_display* display) {
    note(display_name(display));
    __real_sc_display_release(display);
}
void __wrap_sc_shareable_content_release(sc_shareable_content* content) {
    note("content");
    __real_sc_shareable_content_release(content);
}
sc_display* __wrap_sc_shareable_content_get_display_at(sc_shareable_content* content,
                                                       int64_t index) {
    sc_display* display = __real_sc_shareable_content_get_display_at(content, index);
    std::lock_guard lock(EVENTS_MUTEX);
    DISPLAYS_HANDED_OUT.push_back(display);
    return display;
}
}

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What happened from the stream's release on.
std::vector<std::string> events_from_stream_release() {
    std::lock_guard lock(EVENTS_MUTEX);
    const auto from = std::find(EVENTS.begin(), EVENTS.end(), "stream");
    return {from, EVENTS.end()};
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Standard output goes to a file for as long as this lives.
class StdoutToFile {
public:
    explicit StdoutToFile(const fs::path& path) : saved_(::dup(STDOUT_FILENO)) {
        // What the test runner buffered so far belongs to the old standard output.
        std::fflush(stdout);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    ~StdoutToFile() {
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }
    StdoutToFile(const StdoutToFile&) = delete;
    StdoutToFile& operator=(const StdoutToFile&) = delete;

private:
    int saved_;
};

platform::DisplayDescription display(std::uint32_t id) {
    platform::DisplayDescription description;
    description.display_id = id;
    description.source = "scripted-sink-" + std::to_string(id);
    return description;
}

// A scratch directory, shared with the death-test children through the environment:
// each child runs the test again from its start and must find the same place.
class RunScriptedTest : public platform::scripted::ScriptedPlatformTest {
protected:
    static constexpr const char* DIR_VARIABLE = "VMAH_RUN_SCRIPTED_DIR";

    void SetUp() override {
        ScriptedPlatformTest::SetUp();
        if (const char* inherited = std::getenv(DIR_VARIABLE)) {
            dir = inherited;
        } else {
            std::string pattern = (fs::temp_directory_path() / "run_scripted_XXXXXX").string();
            ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
            dir = pattern;
            owns_dir = true;
            ::setenv(DIR_VARIABLE, dir.c_str(), 1);
        }
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        std::lock_guard lock(EVENTS_MUTEX);
        EVENTS.clear();
        DISPLAYS_HANDED_OUT.clear();
    }
    void TearDown() override {
        if (owns_dir) {
            ::unsetenv(DIR_VARIABLE);
            fs::remove_all(dir);
        }
        ScriptedPlatformTest::TearDown();
    }

    // Runs the helper in a child process that must end through unavailable(): status 0,
    // the one line on standard output, nothing on standard error. Gives what it printed.
    template <class Configure>
    std::string run_until_unavailable(const fs::path& out, Configure configure) {
        const fs::path printed = dir / "stdout";
        EXPECT_EXIT(
            {
                configure();
                StdoutToFile redirect(printed);
                helper::run(out.string(), 1);
                std::_Exit(99);  // a set-up failure must not come back
            },
            ::testing::ExitedWithCode(0), "^$");
        return read_file(printed);
    }

    fs::path dir;
    bool owns_dir = false;
};

TEST_F(RunScriptedTest, RefusedContentIsUnavailableBeforeTheFileExists) {
    const fs::path out = dir / "refused.opus";
    EXPECT_EQ(
        run_until_unavailable(
            out, [&] { backend->set_content(std::unexpected(std::string("not allowed")), 1); }),
        "UNAVAILABLE SCShareableContent::get: No shareable content available: "
        "Content unavailable: not allowed\n");
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(RunScriptedTest, ContentWithoutDisplaysIsUnavailableBeforeTheFileExists) {
    const fs::path out = dir / "nodisplay.opus";
    EXPECT_EQ(run_until_unavailable(out, [&] { backend->set_displays({}); }),
              "UNAVAILABLE no displays\n");
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(RunScriptedTest, UncreatableFileIsUnavailable) {
    EXPECT_EQ(run_until_unavailable(dir / "missing" / "x.opus", [] {}),
              "UNAVAILABLE opus/ogg writer: No such file or directory (os error 2)\n");
}

// Standard error is the death test's own capture, which must stay empty.
TEST_F(RunScriptedTest, OutputThatIsStandardErrorIsUnavailable) {
    EXPECT_EQ(run_until_unavailable("/dev/stderr", [] {}),
              "UNAVAILABLE opus/ogg writer: the output is the helper's own standard error\n");
}

TEST_F(RunScriptedTest, RefusedStartIsUnavailableAndLeavesAnEmptyFile) {
    const fs::path out = dir / "nostart.opus";
    EXPECT_EQ(run_until_unavailable(
                  out, [&] { backend->set_start(std::unexpected(std::string("busy")), 1); }),
              "UNAVAILABLE start_capture: Failed to start capture: Stream error: busy\n");
    ASSERT_TRUE(fs::exists(out));
    EXPECT_EQ(fs::file_size(out), 0u);
}

// Capture that does not stop (the platform never answers the stop): the line still comes,
// about 5 s after the stop, and names the part that was slow.
TEST_F(RunScriptedTest, CaptureThatDoesNotStopEndsTheRunWithItsOwnLine) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run_until_unavailable(dir / "unstopped.opus", [&] { backend->set_stop({}, 0); }),
              "UNAVAILABLE stop_capture: capture did not stop within 5 s\n");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
}

// The process stood still (SIGSTOP) for longer than a stop may take while capture was
// stopping: that is not the capture's slowness, and the run ends with its "OK" as any other.
TEST_F(RunScriptedTest, TimeTheProcessStoodStillDoesNotCountAgainstTheStop) {
    const fs::path out = dir / "stood_still.opus";
    const fs::path printed = dir / "stdout";
    EXPECT_EXIT(
        {
            backend->set_stop({}, 0);
            std::jthread freezer([this] {
                std::shared_ptr<platform::scripted::ScriptedCapture> capture;
                for (int tries = 0; tries < 2500; ++tries) {
                    capture = backend->last_capture();
                    if (capture && capture->stop_requests() > 0) break;
                    std::this_thread::sleep_for(2ms);
                }
                if (!capture || capture->stop_requests() == 0) return;
                const pid_t self = ::getpid();
                if (::fork() == 0) {
                    const timespec still{5, 500'000'000};
                    ::nanosleep(&still, nullptr);
                    ::kill(self, SIGCONT);
                    std::_Exit(0);
                }
                ::kill(self, SIGSTOP);
                capture->answer_stop({});
            });
            StdoutToFile redirect(printed);
            helper::run(out.string(), 1);
            std::_Exit(7);
        },
        ::testing::ExitedWithCode(7), "^$");
    EXPECT_EQ(read_file(printed), "OK 0\n");
}

// A run to its deadline: the capture it asked for, the audio it was given up to its limit
// (1.5 s of it comes before the 1 s deadline, as to a run loop that wakes late on a busy
// machine), the "OK" line, and everything given back in order.
TEST_F(RunScriptedTest, RunRecordsTheFirstDisplayUpToItsLimitAndReleasesInOrder) {
    backend->set_displays({display(7), display(8)});
    const fs::path out = dir / "run.opus";
    const fs::path printed = dir / "stdout";

    // Feeds the capture as the platform would once it has started: 1.5 s of a 1 kHz tone
    // on the left, silence on the right, in 10 ms fragments.
    std::jthread feeder([this] {
        std::shared_ptr<platform::scripted::ScriptedCapture> capture;
        for (int tries = 0; tries < 500 && !capture; ++tries) {
            std::this_thread::sleep_for(2ms);
            capture = backend->last_capture();
        }
        if (!capture) return;
        // Past the start's completion, which the platform delivers on a worker.
        std::this_thread::sleep_for(100ms);
        constexpr double PI = 3.14159265358979323846;
        for (int fragment = 0; fragment < 150; ++fragment) {
            std::vector<float> frames(960);
            for (int i = 0; i < 480; ++i) {
                frames[static_cast<std::size_t>(2 * i)] = static_cast<float>(
                    0.5 * std::sin(2 * PI * 1000.0 * (fragment * 480 + i) / 48000.0));
            }
            capture->push_audio(frames, 2, 48000);
        }
    });
    {
        StdoutToFile redirect(printed);
        helper::run(out.string(), 1);
    }
    feeder.join();

    EXPECT_EQ(read_file(printed), "OK 1\n");
    const auto capture = backend->last_capture();
    ASSERT_NE(capture, nullptr);
    EXPECT_EQ(backend->captures().size(), 1u);
    EXPECT_EQ(capture->params().source, "scripted-sink-7");
    EXPECT_EQ(capture->params().sample_rate, 48000);
    EXPECT_EQ(capture->params().channel_count, 2);
    EXPECT_FALSE(capture->params().excludes_current_process_audio);
    EXPECT_EQ(capture->stop_requests(), 1u);

    EXPECT_EQ(events_from_stream_release(),
              (std::vector<std::string>{"stream", "configuration", "filter", "display 0",
                                        "display 1", "content"}));

    const auto decoded = test_support::decode_opus_file(out.string());
    ASSERT_TRUE(decoded.has_value()) << decoded.error();
    EXPECT_LE(decoded->frames(), 48000u + 960u);  // the limit and one frame at most
    const auto left = decoded->channel(0, 4800, 14400);
    EXPECT_NEAR(test_support::zero_crossing_frequency(left), 1000.0, 5.0);
    EXPECT_NEAR(test_support::rms(left), 0.354, 0.03);
    EXPECT_LT(test_support::rms(decoded->channel(1, 4800, 14400)), 0.01);
    // The fixture checks, after the platform's workers are idle, that no platform object
    // is left: the stream's context and its handler went with the forwarding objects.
}

// The run function's own writer reference goes right after the stream, before the
// configuration; the handler's reference goes with the stream's context.
TEST_F(RunScriptedTest, ReleaseDropsTheRunReferenceAfterTheStream) {
    backend->set_displays({display(1), display(2), display(3)});
    helper::CaptureControl capture(helper::RECORDING_FORMAT);
    capture.prepare();
    auto writer = opus_ogg::OpusOggWriter::create((dir / "control.opus").string(), 48000, 2);
    ASSERT_TRUE(writer.has_value());
    const auto slot = helper::make_writer_slot(std::move(*writer));
    const std::weak_ptr<helper::WriterSlot> watch = slot;

    capture.start(slot);
    capture.stop();
    // A reference of its own that says when it goes, standing for the run function's.
    std::shared_ptr<helper::WriterSlot> run_reference(slot.get(),
                                                      [keep = slot](helper::WriterSlot*) mutable {
                                                          note("run reference");
                                                          keep.reset();
                                                      });
    capture.release(std::move(run_reference));
    platform::wait_idle();
    EXPECT_EQ(events_from_stream_release(),
              (std::vector<std::string>{"stream", "run reference", "configuration", "filter",
                                        "display 0", "display 1", "display 2", "content"}));
    EXPECT_EQ(watch.use_count(), 1) << "only the test's own reference should be left";
}

// The capture is configured with the format the control is given, not with the platform's
// defaults (which are the helper's own format too).
TEST_F(RunScriptedTest, CaptureIsConfiguredWithTheFormatItIsGiven) {
    backend->set_displays({display(1)});
    helper::CaptureControl capture(helper::RecordingFormat{44100, 1});
    capture.prepare();
    auto writer = opus_ogg::OpusOggWriter::create((dir / "format.opus").string(), 44100, 1);
    ASSERT_TRUE(writer.has_value());
    auto slot = helper::make_writer_slot(std::move(*writer));
    capture.start(slot);
    const auto started = backend->last_capture();
    ASSERT_NE(started, nullptr);
    EXPECT_EQ(started->params().sample_rate, 44100);
    EXPECT_EQ(started->params().channel_count, 1);
    capture.stop();
    capture.release(std::move(slot));
}

}  // namespace
