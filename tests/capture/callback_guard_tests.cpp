#include "capture/callback_guard.h"

#include <csignal>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/capture/stderr_redirect.h"

namespace {

using capture::catch_user_panic;
using capture_test::StderrCapture;

std::string guard_line(const std::string& name, const std::string& message) {
    return "kelvane-utils: panic in " + name + " caught at C ABI boundary: " + message + "\n";
}

TEST(CallbackGuard, ActionThatReturnsRunsOnceAndPrintsNothing) {
    int runs = 0;
    StderrCapture err;
    catch_user_panic("output handler", [&] { ++runs; });
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(runs, 1);
}

TEST(CallbackGuard, EachKindOfFailureGivesItsLine) {
    StderrCapture err;
    catch_user_panic("output handler", [] { throw std::runtime_error("disk on fire"); });
    catch_user_panic("shareable_content_callback", [] { throw "static text"; });
    catch_user_panic("UnitCompletion::callback", [] { throw std::string("owned text"); });
    catch_user_panic("delegate.stream_did_stop", [] { throw 42; });
    catch_user_panic("delegate.did_stop_with_error",
                     [] { throw static_cast<const char*>(nullptr); });
    EXPECT_EQ(err.text(),
              guard_line("output handler", "disk on fire") +
                  guard_line("shareable_content_callback", "static text") +
                  guard_line("UnitCompletion::callback", "owned text") +
                  guard_line("delegate.stream_did_stop", "<non-string panic payload>") +
                  guard_line("delegate.did_stop_with_error", "<non-string panic payload>"));
}

TEST(CallbackGuard, ReturnsNormallyWhenStandardErrorIsClosed) {
    bool after = false;
    {
        capture_test::StderrClosed closed;
        catch_user_panic("output handler", [] { throw std::runtime_error("nobody listens"); });
        after = true;
    }
    EXPECT_TRUE(after);
}

TEST(CallbackGuard, PipeWithoutReaderNeitherKillsNorLeavesSignalPending) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[1]);
    // SIGPIPE's default action would end this test process.
    catch_user_panic("output handler", [] { throw std::runtime_error("reader gone"); });
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);

    sigset_t pending;
    sigemptyset(&pending);
    ASSERT_EQ(sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    sigset_t mask;
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &mask), 0);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0) << "the signal mask was not restored";
}

}  // namespace
