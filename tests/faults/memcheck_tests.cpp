// One real recording under valgrind's memcheck: audio flowing from a private sound server
// for two seconds, then a stop signal. Any memory error, or any definitely or indirectly
// lost block, makes valgrind exit with its own status and fails the test. No suppression is
// needed: what libpulse keeps for the life of the process (its free lists) is still
// reachable at exit, which is not counted as an error here.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/faults/fault_support.h"

namespace faults {
namespace {

constexpr int VALGRIND_ERROR_STATUS = 99;

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

using MemcheckRecording = HelperAgainstServer;

TEST_F(MemcheckRecording, RecordingHasNoMemoryErrorsOrLeaks) {
    play_noise(30);
    const std::string out = out_dir() + "/memcheck.opus";
    const std::string log = out_dir() + "/memcheck.log";
    auto helper = ChildProcess::start(
        {"/usr/bin/valgrind", "--tool=memcheck",
         "--error-exitcode=" + std::to_string(VALGRIND_ERROR_STATUS), "--leak-check=full",
         "--show-leak-kinds=definite,indirect", "--errors-for-leak-kinds=definite,indirect",
         "--track-origins=yes", "--log-file=" + log, test_support::helper_binary(), "--out", out,
         "--secs", "20"},
        environment(), test_support::PIPED);
    ASSERT_TRUE(helper.wait_for_stop_handlers(60s)) << read_text(log);
    ASSERT_TRUE(wait_for_file(out, 60s)) << read_text(log);
    std::this_thread::sleep_for(2s);
    helper.signal(SIGTERM);
    const Outcome outcome = helper.finish(120s);
    EXPECT_EQ(check_clean_end(outcome), "") << read_text(log);
    const double seconds = ok_seconds(outcome.out);
    EXPECT_GT(seconds, 1.0) << outcome.out;
    const OggSummary scan = summarize_ogg(out);
    EXPECT_TRUE(scan.last_is_eos);
    EXPECT_TRUE(granule_matches(scan.last_granule, seconds)) << scan.last_granule;
    // The report itself, so that a run that somehow escaped valgrind cannot pass.
    const std::string report = read_text(log);
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos) << report;
    EXPECT_TRUE(report.find("definitely lost: 0 bytes") != std::string::npos ||
                report.find("All heap blocks were freed") != std::string::npos)
        << report;
}

}  // namespace
}  // namespace faults
