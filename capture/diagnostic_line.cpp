#include "capture/diagnostic_line.h"

#include <cerrno>
#include <csignal>
#include <ctime>

#include <pthread.h>
#include <unistd.h>

#include "util/write_all.h"

namespace capture {

void write_diagnostic_line(std::string_view line) noexcept {
    const int saved_errno = errno;
    // Block SIGPIPE for this thread while writing, so that a vanished reader turns into EPIPE
    // instead of ending the process; a SIGPIPE raised by our own write is then consumed.
    sigset_t pipe_only;
    sigset_t previous;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    const bool masked = pthread_sigmask(SIG_BLOCK, &pipe_only, &previous) == 0;
    sigset_t pending_before;
    sigemptyset(&pending_before);
    sigpending(&pending_before);
    const bool was_pending = sigismember(&pending_before, SIGPIPE) == 1;

    const int failure = util::write_all(STDERR_FILENO, line.data(), line.size()).error;

    if (masked) {
        if (!was_pending && failure == EPIPE) {
            const timespec no_wait{0, 0};
            while (sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {}
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    errno = saved_errno;
}

}  // namespace capture
