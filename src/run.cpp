#include "src/run.h"

#include <csignal>
#include <ctime>
#include <utility>

#include "src/capture_control.h"
#include "src/deadline.h"
#include "src/finish_recording.h"
#include "src/output_path.h"
#include "src/recording_format.h"
#include "src/status_line.h"
#include "src/stop_guard.h"
#include "src/writer_slot.h"

namespace helper {

static_assert(std::atomic<bool>::is_always_lock_free, "STOP is touched from a signal handler");

std::atomic<bool> STOP{false};

void on_signal(int) noexcept { STOP.exchange(true); }

void install_stop_signals() noexcept {
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

namespace {

constexpr timespec POLL_INTERVAL{0, 100'000'000};
// From the stop to the status line at most; stopping capture and finishing the file take
// milliseconds unless the output holds them up.
constexpr std::chrono::milliseconds STOP_LIMIT{2000};
constexpr const char* STOP_LIMIT_REASON =
    "opus/ogg writer: the output did not take the end of the recording within 2 s";

void wait_for_stop(const Deadline& deadline) {
    for (;;) {
        if (STOP.load()) return;
        if (deadline_reached(deadline, monotonic_now())) return;
        // A signal cuts the sleep short (EINTR); the flag is then tested at once rather
        // than sleeping out the rest of the interval.
        nanosleep(&POLL_INTERVAL, nullptr);
    }
}

}  // namespace

void run(const std::string& out, std::uint64_t secs) {
    CaptureControl capture(RECORDING_FORMAT);
    capture.prepare();

    if (is_standard_output(out))
        unavailable("opus/ogg writer: " + std::string(STANDARD_OUTPUT_REASON));

    auto writer =
        opus_ogg::OpusOggWriter::create(out, RECORDING_FORMAT.rate, RECORDING_FORMAT.channels);
    if (!writer) unavailable("opus/ogg writer: " + writer.error().to_string());
    auto slot = make_writer_slot(std::move(*writer));

    capture.start(slot);

    wait_for_stop(deadline_after(monotonic_now(), secs));

    StopGuard guard(STOP_LIMIT, STOP_LIMIT_REASON);
    capture.stop();

    auto duration = finish_recording(*slot);
    guard.claim_status_line();
    if (duration) {
        print_ok(*duration);
    } else {
        print_unavailable("opus/ogg writer: " + duration.error());
    }

    capture.release(std::move(slot));
}

}  // namespace helper
