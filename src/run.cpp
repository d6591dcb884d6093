#include "src/run.h"

#include <csignal>
#include <ctime>
#include <optional>
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

static void on_signal(int) noexcept { STOP.exchange(true); }

void install_stop_signals() noexcept {
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    // A hang-up (the terminal or session that started us went away) is a stop as well,
    // unless whoever started us chose to have it ignored (nohup).
    struct sigaction hang_up {};
    if (sigaction(SIGHUP, nullptr, &hang_up) == 0 && hang_up.sa_handler != SIG_IGN) {
        std::signal(SIGHUP, on_signal);
    }
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

namespace {

constexpr timespec POLL_INTERVAL{0, 100'000'000};

// Until a stop signal, the deadline, or nobody left to read the status line (a parent
// that died would otherwise leave us recording on our own). Nothing here touches the
// writer: its lock may be held across a write that blocks, and the stop must be seen
// whatever the output does.
void wait_for_stop(const Deadline& deadline) {
    for (;;) {
        if (STOP.load()) return;
        if (deadline_reached(deadline, monotonic_now())) return;
        if (status_line_unreadable()) return;
        // A signal cuts the sleep short (EINTR); the flag is then tested at once rather
        // than sleeping out the rest of the interval.
        nanosleep(&POLL_INTERVAL, nullptr);
    }
}

}  // namespace

void run(const std::string& out, std::uint64_t secs) {
    CaptureControl capture(RECORDING_FORMAT);
    capture.prepare();

    if (const auto conflict = standard_stream_conflict(out))
        unavailable("opus/ogg writer: " + std::string(*conflict));

    auto writer =
        opus_ogg::OpusOggWriter::create(out, RECORDING_FORMAT.rate, RECORDING_FORMAT.channels);
    if (!writer) unavailable("opus/ogg writer: " + writer.error().to_string());
    auto output_progress = writer->output_progress();
    auto slot = make_writer_slot(std::move(*writer), sample_limit(secs, RECORDING_FORMAT));

    capture.start(slot);

    wait_for_stop(deadline_after(monotonic_now(), secs));

    // Armed before anything that may wait on the output or on capture.
    StopGuard guard(std::move(output_progress));
    capture.stop();
    guard.capture_stopped();

    std::optional<opus_ogg::OpusOggWriter> finished;
    auto duration = finish_recording(*slot, finished);
    guard.claim_status_line();
    if (duration) {
        print_ok(*duration);
    } else {
        print_unavailable("opus/ogg writer: " + duration.error());
    }
    guard.stand_down();
    // The file was complete before the line; it stays locked until the parent has it, so
    // that no other recording can empty it first.
    finished.reset();

    capture.release(std::move(slot));
}

}  // namespace helper
