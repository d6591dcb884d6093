#include "src/deadline.h"
#include "src/status_line.h"
#include "tests/support/helper_child.h"
#include "util/write_all.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>

namespace {

// The seconds of the line print_ok writes, read from a pipe put in place of standard output.
std::string format_seconds(double seconds) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    helper::print_ok(seconds);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fds[1]);
    std::string line;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        line.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    EXPECT_TRUE(line.starts_with("OK ") && line.ends_with("\n")) << line;
    return line.size() < 4 ? line : line.substr(3, line.size() - 4);
}

TEST(FormatSeconds, ShortestFixedText) {
    EXPECT_EQ(format_seconds(0.0), "0");
    EXPECT_EQ(format_seconds(61.5), "61.5");
    EXPECT_EQ(format_seconds(12.02), "12.02");
    EXPECT_EQ(format_seconds(0.02), "0.02");
    EXPECT_EQ(format_seconds(60.0), "60");
    EXPECT_EQ(format_seconds(1e21), "1000000000000000000000");
    EXPECT_EQ(format_seconds(0.1 + 0.2), "0.30000000000000004");
}

TEST(FormatSeconds, ReadsBackExactlyWithoutExponent) {
    const double values[] = {1e21,
                             3e22,
                             1.0 / 3.0,
                             2.0 / 3.0e7,
                             12345.678901234567,
                             1e-7,
                             0.02 * 7,
                             5e-324,
                             std::numeric_limits<double>::max(),
                             4503599627370497.0,
                             96000.0 / 48000.0 + 0.02};
    for (double value : values) {
        const std::string text = format_seconds(value);
        EXPECT_EQ(text.find_first_of("eE"), std::string::npos) << text;
        char* end = nullptr;
        EXPECT_EQ(std::strtod(text.c_str(), &end), value) << text;
        EXPECT_EQ(*end, '\0') << text;
        // Whole values carry no decimal point.
        if (value == std::trunc(value)) {
            EXPECT_EQ(text.find('.'), std::string::npos) << text;
        }
    }
}

TEST(WriteAll, WritesEverythingOrReportsFailure) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string big(50000, 'x');  // more than one pipe buffer: needs partial writes
    std::string got;
    std::thread reader([&] {
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    });
    EXPECT_TRUE(helper::write_all(fds[1], big));
    close(fds[1]);
    reader.join();
    EXPECT_EQ(got, big);
    close(fds[0]);
    EXPECT_FALSE(helper::write_all(fds[1], "closed\n"));
}

// A non-blocking standard output that is full for a moment (a parent's event loop reads it
// a little later) still gets the whole line; a reader that has gone, or a wait past its
// bound, gives up.
TEST(WriteAll, WaitsForRoomOnAFullNonBlockingPipe) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    const std::string filler(static_cast<std::size_t>(fcntl(fds[1], F_GETPIPE_SZ)), 'x');
    ASSERT_EQ(util::write_all(fds[1], filler.data(), filler.size()).bytes, filler.size());
    EXPECT_FALSE(helper::write_all(fds[1], "late\n", std::chrono::steady_clock::now()));

    std::string got;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        char buf[4096];
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.size() < filler.size() + 6 && std::chrono::steady_clock::now() < give_up) {
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<size_t>(n));
        }
    });
    EXPECT_TRUE(helper::write_all(fds[1], "OK 12\n"));
    reader.join();
    EXPECT_EQ(got, filler + "OK 12\n");

    ASSERT_EQ(util::write_all(fds[1], filler.data(), filler.size()).bytes, filler.size());
    close(fds[0]);
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous), 0);
    EXPECT_FALSE(helper::write_all(fds[1], "gone\n"));
    sigaction(SIGPIPE, &previous, nullptr);
    close(fds[1]);
}

// The loop under it says how far it got and why it stopped, which the writer's file relies
// on: a full non-blocking pipe takes what fits, then EAGAIN; a pipe without a reader EPIPE.
TEST(WriteAll, SaysHowFarItGotAndWhy) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    const int capacity = fcntl(fds[1], F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    const std::string big(static_cast<std::size_t>(capacity) + 1000, 'x');
    const util::Written full = util::write_all(fds[1], big.data(), big.size());
    EXPECT_EQ(full.bytes, static_cast<std::size_t>(capacity));
    EXPECT_EQ(full.error, EAGAIN);

    close(fds[0]);
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous), 0);
    const util::Written gone = util::write_all(fds[1], "x", 1);
    sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_EQ(gone.bytes, 0u);
    EXPECT_EQ(gone.error, EPIPE);
    close(fds[1]);
}

TEST(Deadline, AddsAtLeastOneSecond) {
    const timespec now{100, 250};
    EXPECT_EQ(helper::deadline_after(now, 0)->tv_sec, 101);
    EXPECT_EQ(helper::deadline_after(now, 7)->tv_sec, 107);
    EXPECT_EQ(helper::deadline_after(now, 7)->tv_nsec, 250);
    const auto deadline = helper::deadline_after(now, 1);
    EXPECT_FALSE(helper::deadline_reached(deadline, {100, 999'999'999}));
    EXPECT_FALSE(helper::deadline_reached(deadline, {101, 249}));
    EXPECT_TRUE(helper::deadline_reached(deadline, {101, 250}));
    EXPECT_TRUE(helper::deadline_reached(deadline, {102, 0}));
}

TEST(Deadline, SaturatesToNoDeadlineBeyondClockRange) {
    constexpr auto max = std::numeric_limits<decltype(timespec::tv_sec)>::max();
    const timespec now{5, 0};
    EXPECT_EQ(helper::deadline_after(now, static_cast<std::uint64_t>(max) - 5)->tv_sec, max);
    EXPECT_FALSE(helper::deadline_after(now, static_cast<std::uint64_t>(max) - 4));
    EXPECT_FALSE(helper::deadline_after(now, std::numeric_limits<std::uint64_t>::max()));
    EXPECT_FALSE(helper::deadline_after({max, 0}, 1));
    EXPECT_FALSE(helper::deadline_reached(std::nullopt, {max, 999'999'999}));
}

// The tests' one reading of the "OK {seconds}" line, against what the helper writes.
TEST(OkSeconds, ReadsBackWhatTheHelperPrints) {
    for (double value : {0.0, 0.02, 1.0 / 3.0, 12.02, 60.0, 61.5, 1e-7, 1e21}) {
        const std::string line = "OK " + format_seconds(value) + "\n";
        EXPECT_EQ(test_support::ok_seconds(line), value) << line;
    }
}

TEST(OkSeconds, RefusesAnythingButOneLineOfPlainDigits) {
    for (const char* out : {"OK 1e3\n", "OK -1\n", "OK +1\n", "OK  1\n", "OK 1 \n", "OK inf\n",
                            "OK nan\n", "OK 0x1p3\n", "OK 1.\n", "OK .5\n", "OK 1.2.3\n", "OK \n",
                            "OK 1", "OK 1\n\n", "OK 1\nOK 2\n", "ok 1\n", "UNAVAILABLE x\n", ""}) {
        EXPECT_EQ(test_support::ok_seconds(out), std::nullopt) << '[' << out << ']';
    }
}

}  // namespace
