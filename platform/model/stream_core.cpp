#include "platform/model/stream_core.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/model/session_sink.h"
#include "platform/model/stream.h"
#include "platform/runtime/runtime.h"

namespace platform {
namespace {

const std::string NO_ANSWER = "The capture backend did not answer";

// One sample buffer on its way to one output; the queue's job owns it through a pointer,
// which a function object keeps without allocating.
struct Delivery {
    Ref<SCStream> stream;
    Ref<SCStreamOutput> output;
    Ref<CMSampleBuffer> sample;
    SCStreamOutputType type = SCStreamOutputType::Audio;
};

void set_error(Ref<NSError>* out, std::int64_t code, const BackendError& failure) {
    if (out != nullptr) *out = stream_error(code, failure);
}

void complete_now(const SCStream::CompletionHandler& handler, const Outcome& outcome,
                  std::int64_t code) {
    handler(outcome ? nullptr : stream_error(code, outcome.error()).get());
}

// Runs handler on a worker with the outcome, a failure under `code`.
void complete_later(SCStream::CompletionHandler handler, Outcome outcome, std::int64_t code = 0) {
    post([handler = std::move(handler), outcome = std::move(outcome), code] {
        complete_now(handler, outcome, code);
    });
}

}  // namespace

StreamCore::StreamCore(SCStream* owner, SCStreamDelegate* delegate)
    : owner_(owner), delegate_(Ref<SCStreamDelegate>::retain(delegate)) {}

bool StreamCore::add_output(SCStreamOutput* output, SCStreamOutputType type, DispatchQueue* queue,
                            Ref<NSError>* error) {
    if (output == nullptr) {
        set_error(error, SCStreamErrorInvalidParameter, "No output object was given");
        return false;
    }
    if (const auto backend = installed_backend()) {
        if (Outcome admitted = backend->admit_output(type); !admitted) {
            set_error(error, SCStreamErrorInvalidParameter, admitted.error());
            return false;
        }
    }
    Ref<DispatchQueue> chosen = queue != nullptr ? Ref<DispatchQueue>::retain(queue)
                                                 : DispatchQueue::create("platform.stream.output");
    std::lock_guard lock(mutex_);
    const bool present = std::any_of(outputs_.begin(), outputs_.end(), [&](const Output& o) {
        return o.output.get() == output && o.type == type;
    });
    if (present) {
        set_error(error, SCStreamErrorInvalidParameter,
                  "The output is already added for this type");
        return false;
    }
    outputs_.push_back({Ref<SCStreamOutput>::retain(output), type, std::move(chosen)});
    return true;
}

bool StreamCore::remove_output(SCStreamOutput* output, SCStreamOutputType type,
                               Ref<NSError>* error) {
    std::optional<Output> removed;  // let go of outside the lock: its release runs client code
    {
        std::lock_guard lock(mutex_);
        const auto found = std::find_if(outputs_.begin(), outputs_.end(), [&](const Output& o) {
            return o.output.get() == output && o.type == type;
        });
        if (found != outputs_.end()) {
            removed = std::move(*found);
            outputs_.erase(found);
        }
    }
    if (!removed) {
        set_error(error, SCStreamErrorInvalidParameter, "The output is not added for this type");
        return false;
    }
    return true;
}

void StreamCore::start(const StreamSettings& settings, SCContentFilter* filter,
                       SCStream::CompletionHandler handler) {
    std::unique_lock lock(mutex_);
    // A start refused is answered from a worker, like any other.
    const auto refuse = [&](const char* reason, SCStreamErrorCode code) {
        lock.unlock();
        complete_later(std::move(handler), std::unexpected(reason), code);
    };
    if (phase_ != Phase::Idle) {
        return refuse("The stream is already running", SCStreamErrorAttemptToStartStreamState);
    }
    SCDisplay* const display = filter != nullptr ? filter->display() : nullptr;
    if (display == nullptr) {
        return refuse("The content filter selects no display", SCStreamErrorNoCaptureSource);
    }
    if (!settings.capturesAudio) {
        // Nothing this platform records besides audio: the capture runs and delivers nothing.
        phase_ = Phase::Running;
        ++session_;
        lock.unlock();
        complete_later(std::move(handler), {});
        return;
    }
    const auto backend = installed_backend();
    if (!backend) return refuse("No capture backend is installed", SCStreamErrorFailedToStart);
    phase_ = Phase::Starting;
    pending_failure_.reset();
    start_in_flight_ = true;
    const std::uint64_t session = ++session_;
    lock.unlock();

    const CaptureParams params{display->source(), settings.sampleRate, settings.channelCount,
                               settings.excludesCurrentProcessAudio};
    auto sink = std::make_shared<SessionSink>(weak_from_this(), session);
    Reply<Outcome> started(
        [core = shared_from_this(), session, handler = std::move(handler)](Outcome outcome) {
            core->on_started(session, std::move(outcome), handler);
        },
        std::unexpected(NO_ANSWER));
    std::shared_ptr<Capture> capture = backend->start_capture(params, std::move(sink), started);

    lock.lock();
    start_in_flight_ = false;
    // Keep the capture only while its session is still the current one (the stream may have
    // been detached meanwhile).
    if (session_ == session && phase_ == Phase::Starting) capture_ = std::move(capture);
    std::vector<DeferredStart> deferred = std::exchange(deferred_starts_, {});
    lock.unlock();
    capture.reset();
    for (auto& answer : deferred) on_started(session, std::move(answer.outcome), answer.handler);
}

void StreamCore::on_started(std::uint64_t session, Outcome outcome,
                            const SCStream::CompletionHandler& handler) {
    std::shared_ptr<Capture> ended;
    {
        std::lock_guard lock(mutex_);
        if (session_ == session && phase_ == Phase::Starting && start_in_flight_) {
            deferred_starts_.push_back(DeferredStart{std::move(outcome), handler});
            return;
        }
        if (session_ == session && phase_ == Phase::Starting) {
            if (outcome && !pending_failure_) {
                phase_ = Phase::Running;
            } else {
                if (outcome) outcome = std::unexpected(*pending_failure_);
                phase_ = Phase::Idle;
                ++session_;
                ended = std::move(capture_);
            }
        }
        // Anything else is a repeated or late answer, passed on as it came.
    }
    ended.reset();
    complete_now(handler, outcome, SCStreamErrorFailedToStart);
}

void StreamCore::stop(SCStream::CompletionHandler handler) {
    std::unique_lock lock(mutex_);
    if (phase_ != Phase::Running) {
        lock.unlock();
        complete_later(std::move(handler), std::unexpected("The stream is not running"),
                       SCStreamErrorAttemptToStopStreamState);
        return;
    }
    const std::uint64_t session = session_;
    std::shared_ptr<Capture> capture = capture_;
    phase_ = Phase::Stopping;
    lock.unlock();
    if (!capture) {
        // Nothing records: stopped at once, yet through the usual path.
        post([core = shared_from_this(), session, handler = std::move(handler)] {
            core->on_stopped(session, {}, handler);
        });
        return;
    }
    capture->stop(Reply<Outcome>(
        [core = shared_from_this(), session, handler = std::move(handler)](Outcome outcome) {
            core->on_stopped(session, std::move(outcome), handler);
        },
        std::unexpected(NO_ANSWER)));
}

void StreamCore::on_stopped(std::uint64_t session, Outcome outcome,
                            const SCStream::CompletionHandler& handler) {
    std::shared_ptr<Capture> ended;
    std::vector<Ref<DispatchQueue>> queues;
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        if (session_ == session && phase_ == Phase::Stopping) {
            phase_ = Phase::Idle;
            ++session_;
            ended = std::move(capture_);
            queues = output_queues_locked();
            first = true;
        }
    }
    ended.reset();
    if (!first || queues.empty()) {
        complete_now(handler, outcome, SCStreamErrorFailedToStopAudioCapture);
        return;
    }
    // Complete only after every sample buffer queued before the stop has been handed over.
    struct Barrier {
        std::atomic<std::size_t> remaining;
        SCStream::CompletionHandler handler;
        Outcome outcome;
    };
    auto barrier = std::make_shared<Barrier>(queues.size(), handler, std::move(outcome));
    for (const auto& queue : queues) {
        queue->async([barrier] {
            if (barrier->remaining.fetch_sub(1) != 1) return;
            post([barrier] {
                complete_now(barrier->handler, barrier->outcome,
                             SCStreamErrorFailedToStopAudioCapture);
            });
        });
    }
}

void StreamCore::failed(std::uint64_t session, BackendError failure) {
    std::shared_ptr<Capture> ended;
    Ref<SCStreamDelegate> delegate;
    Ref<SCStream> stream;
    {
        std::lock_guard lock(mutex_);
        if (session_ != session) return;
        if (phase_ == Phase::Starting) {
            // Reported through the start's answer instead.
            if (!pending_failure_) pending_failure_ = std::move(failure);
            return;
        }
        if (phase_ != Phase::Running) return;  // while stopping, the stop's answer settles it
        phase_ = Phase::Idle;
        ++session_;
        ended = std::move(capture_);
        delegate = delegate_;
        if (owner_ != nullptr && owner_->try_retain()) stream = Ref<SCStream>::adopt(owner_);
    }
    ended.reset();
    if (delegate && stream) {
        const auto error = stream_error(SCStreamErrorSystemStoppedStream, failure);
        delegate->stream_didStopWithError(stream.get(), error.get());
    }
}

void StreamCore::deliver(CMSampleBuffer* buffer, SCStreamOutputType type,
                         std::optional<std::uint64_t> session) {
    if (buffer == nullptr) return;
    // The list is this thread's, kept from one buffer to the next: a delivery allocates
    // no list. Nothing below delivers again on this thread before it is emptied.
    thread_local std::vector<std::pair<Ref<SCStreamOutput>, Ref<DispatchQueue>>> targets;
    targets.clear();
    Ref<SCStream> stream;
    {
        std::lock_guard lock(mutex_);
        if (session && *session != session_) return;
        if (owner_ == nullptr) return;
        for (const auto& o : outputs_) {
            if (o.type == type) targets.emplace_back(o.output, o.queue);
        }
        if (targets.empty() || !owner_->try_retain()) return;
        stream = Ref<SCStream>::adopt(owner_);
    }
    const auto sample = Ref<CMSampleBuffer>::retain(buffer);
    for (std::size_t i = 0; i < targets.size(); ++i) {
        auto& [output, queue] = targets[i];
        // The last target takes this call's own stream reference, so no reference to the
        // stream is ever dropped on the calling (possibly the backend's) thread.
        Ref<SCStream> held;
        if (i + 1 == targets.size()) {
            held = std::move(stream);
        } else {
            held = stream;
        }
        auto* delivery = new Delivery{std::move(held), std::move(output), sample, type};
        queue->async([delivery] {
            // The references go on this worker, with the delivery: the last of them may run
            // an output's or a stream's teardown.
            const std::unique_ptr<Delivery> owned(delivery);
            owned->output->stream_didOutputSampleBuffer_ofType(owned->stream.get(),
                                                               owned->sample.get(), owned->type);
        });
    }
    targets.clear();
}

void StreamCore::detach() {
    std::shared_ptr<Capture> ended;
    std::vector<Output> outputs;
    Ref<SCStreamDelegate> delegate;
    {
        std::lock_guard lock(mutex_);
        owner_ = nullptr;
        phase_ = Phase::Idle;
        ++session_;
        ended = std::move(capture_);
        outputs = std::move(outputs_);
        outputs_.clear();
        delegate = std::move(delegate_);
    }
    // Released here, unlocked: ending a capture may wait for the backend, and releasing the
    // client's objects runs their code.
}

std::vector<Ref<DispatchQueue>> StreamCore::output_queues_locked() const {
    std::vector<Ref<DispatchQueue>> queues;
    for (const auto& o : outputs_) {
        if (std::find(queues.begin(), queues.end(), o.queue) == queues.end())
            queues.push_back(o.queue);
    }
    return queues;
}

}  // namespace platform
