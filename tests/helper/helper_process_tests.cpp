#include "tests/support/child_process.h"
#include "tests/support/helper_child.h"
#include "tests/support/ogg_reading.h"
#include "tests/support/pulse_daemon.h"

#include <gtest/gtest.h>
#include <opusfile.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test_support::ChildProcess;
using test_support::OggSummary;

const std::string MISSING_OUT = "UNAVAILABLE missing --out\n";

// The helper's environment is the fixture's to choose, so that a fixture for capture against
// a private sound server can add its address. Sanitizer settings pass through.
std::vector<std::string> base_environment() {
    std::vector<std::string> env = {"PATH=/usr/bin:/bin"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    return env;
}

// The helper records from a sound server: one private daemon serves every test here.
class SoundServer : public ::testing::Environment {
public:
    void SetUp() override {
        auto started = test_support::PulseDaemon::start();
        ASSERT_TRUE(started.has_value()) << started.error();
        daemon = std::move(*started);
    }
    void TearDown() override { daemon.reset(); }

    static inline std::unique_ptr<test_support::PulseDaemon> daemon;
};
::testing::Environment* const SOUND_SERVER = ::testing::AddGlobalTestEnvironment(new SoundServer);

std::vector<std::string> server_environment() {
    std::vector<std::string> env = base_environment();
    if (const auto& daemon = SoundServer::daemon) {
        env.push_back("HOME=" + daemon->directory());
        env.push_back("XDG_RUNTIME_DIR=" + daemon->directory());
        env.push_back("PULSE_SERVER=" + daemon->server());
        env.push_back("PULSE_CLIENTCONFIG=" + daemon->client_config());
    }
    return env;
}

class HelperProcess : public ::testing::Test {
protected:
    explicit HelperProcess(std::vector<std::string> env = server_environment())
        : env_(std::move(env)) {}

    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "helper_process_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::unique_ptr<ChildProcess> start(std::vector<std::string> args) {
        args.insert(args.begin(), test_support::helper_binary());
        return std::make_unique<ChildProcess>(ChildProcess::start(args, env_, test_support::PIPED));
    }
    test_support::Outcome run(std::vector<std::string> args) {
        return start(std::move(args))->finish();
    }

    // The file exists only after the stop signals are installed, so from then on a signal
    // asks for a stop instead of killing the helper.
    static bool wait_for_file(const fs::path& path) {
        for (auto give_up = Clock::now() + 10s; Clock::now() < give_up;
             std::this_thread::sleep_for(10ms)) {
            if (fs::exists(path)) return true;
        }
        return false;
    }

    // Starts a recording into `name`, stops it with `signal_number` and checks the
    // prompt, single "OK" line and the finished file.
    void record_and_stop(const std::string& name, int signal_number,
                         std::vector<std::string> extra = {}) {
        const fs::path out = dir_ / name;
        std::vector<std::string> args = {"--out", out.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        auto child = start(args);
        ASSERT_TRUE(wait_for_file(out));
        std::this_thread::sleep_for(150ms);
        ASSERT_TRUE(child->running()) << "ended before the stop signal";
        const auto signalled = Clock::now();
        child->signal(signal_number);
        const auto result = child->finish();
        EXPECT_LT(Clock::now() - signalled, 500ms);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.err, "");
        check_ok_recording(result.out, out);
    }

    static void check_ok_recording(const std::string& line, const fs::path& out) {
        ASSERT_TRUE(line.starts_with("OK ") && line.ends_with('\n')) << line;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
        char* end = nullptr;
        const double seconds = std::strtod(line.c_str() + 3, &end);
        EXPECT_EQ(*end, '\n') << line;
        const OggSummary ogg = test_support::summarize_ogg(out);
        EXPECT_TRUE(ogg.starts_with_capture);
        EXPECT_GE(ogg.pages, 3);
        EXPECT_TRUE(ogg.eos_on_last_page_only);
        EXPECT_TRUE(test_support::granule_matches(ogg.last_granule, seconds))
            << ogg.last_granule << " for " << line;
        int error = 0;
        OggOpusFile* file = op_open_file(out.c_str(), &error);
        ASSERT_NE(file, nullptr) << "opusfile error " << error;
        EXPECT_EQ(op_channel_count(file, -1), 2);
        EXPECT_GE(op_pcm_total(file, -1), 0);
        op_free(file);
    }

    std::vector<std::string> env_;
    fs::path dir_;
};

TEST_F(HelperProcess, MissingOutputEndsWithStatusTwo) {
    for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                  {"--out", ""},
                                                                  {"--out"},
                                                                  {"--secs", "1", "--out"},
                                                                  {"--out=x.opus"},
                                                                  {"", "", ""}}) {
        const auto result = run(args);
        EXPECT_EQ(result.exit_status, 2);
        EXPECT_EQ(result.out, MISSING_OUT);
        EXPECT_EQ(result.err, MISSING_OUT);
    }
    EXPECT_TRUE(fs::is_empty(dir_));
}

// The sound-server client libraries are opened once a server is asked for, so the helper starts
// and answers where either is missing: neither is a library the executable needs to load.
TEST_F(HelperProcess, NeedsNeitherSoundServerLibraryToStart) {
    auto readelf =
        test_support::ChildProcess::spawn({"readelf", "--dynamic", test_support::helper_binary()},
                                          {"PATH=/usr/bin:/bin", "LANG=C"}, test_support::PIPED);
    ASSERT_TRUE(readelf.has_value()) << readelf.error();
    const auto result = readelf->finish();
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.out.find("(NEEDED)"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("libpulse"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("libpipewire"), std::string::npos) << result.out;
}

TEST_F(HelperProcess, UncreatableFileIsUnavailable) {
    const auto result = run({"--out", (dir_ / "no/such/dir.opus").string()});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "UNAVAILABLE opus/ogg writer: No such file or directory (os error 2)\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(HelperProcess, StopSignalsFinishTheRecording) {
    record_and_stop("int.opus", SIGINT);
    record_and_stop("term.opus", SIGTERM);
}

TEST_F(HelperProcess, OddArgumentsAreTakenAsBytes) {
    // Not UTF-8: the file gets exactly these bytes as its name.
    record_and_stop("\xff\xfe\x80.opus", SIGTERM, {"", "--secs"});
    // First --out wins; a huge or unreadable limit means recording until stopped.
    record_and_stop("first.opus", SIGTERM, {"--out", (dir_ / "second.opus").string()});
    EXPECT_FALSE(fs::exists(dir_ / "second.opus"));
    record_and_stop("huge.opus", SIGINT, {"--secs", "18446744073709551615"});
    record_and_stop("long.opus", SIGINT,
                    {"--secs", std::string(100000, '9'), std::string(100000, 'x'), ""});
}

TEST_F(HelperProcess, SecsZeroRecordsForOneSecond) {
    const fs::path out = dir_ / "one.opus";
    const auto started = Clock::now();
    const auto result = run({"--out", out.string(), "--secs", "0"});
    const auto elapsed = Clock::now() - started;
    EXPECT_GE(elapsed, 1s);
    EXPECT_LT(elapsed, 4s);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    check_ok_recording(result.out, out);
}

// A finalisation that cannot write the file is reported as such, once, not as "OK".
TEST_F(HelperProcess, FullDiskIsNotReportedAsSuccess) {
    const auto result = run({"--out", "/dev/full", "--secs", "0"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "UNAVAILABLE opus/ogg writer: No space left on device (os error 28)\n");
}

}  // namespace
