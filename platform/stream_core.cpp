#include "platform/stream_core.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/runtime.h"
#include "platform/stream.h"

namespace platform {
namespace {

const std::string NO_ANSWER = "The capture backend did not answer";

void set_error(Ref<NSError>* out, std::int64_t code, std::string text) {
    if (out != nullptr) *out = NSError::make(SCStreamErrorDomain, code, std::move(text));
}

// Runs handler on a worker with an error, or with none.
void complete_later(SCStream::CompletionHandler handler,
                    std::optional<std::pair<std::int64_t, std::string>> failure) {
    post([handler = std::move(handler), failure = std::move(failure)] {
        if (!failure) {
            handler(nullptr);
            return;
        }
        const auto error = NSError::make(SCStreamErrorDomain, failure->first, failure->second);
        handler(error.get());
    });
}

void complete_now(const SCStream::CompletionHandler& handler, const Outcome& outcome,
                  std::int64_t code) {
    if (outcome) {
        handler(nullptr);
        return;
    }
    const auto error = NSError::make(SCStreamErrorDomain, code, outcome.error());
    handler(error.get());
}

// The sink one capture writes into; it names its capture, so an old capture's calls are
// told apart from the current one's.
class SessionSink final : public CaptureSink {
public:
    SessionSink(std::weak_ptr<StreamCore> core, std::uint64_t session)
        : core_(std::move(core)), session_(session) {}

    void audio(std::span<const float> interleaved, std::uint32_t channels,
               std::int64_t sample_rate) override {
        const auto core = core_.lock();
        if (!core) return;
        Ref<CMSampleBuffer> buffer = take_lent(interleaved, channels, sample_rate);
        if (!buffer) {
            buffer =
                is_silence(interleaved)
                    ? silence(interleaved.size_bytes(), channels, sample_rate)
                    : CMSampleBuffer::createInterleavedFloat(interleaved, channels, sample_rate);
        }
        core->deliver(buffer.get(), SCStreamOutputType::Audio, session_);
    }

    std::span<float> audio_room(std::size_t samples, std::uint32_t channels,
                                std::int64_t sample_rate) override {
        const std::size_t bytes = samples * sizeof(float);
        std::lock_guard lock(rooms_mutex_);
        lent_ = nullptr;
        // A buffer only the pool still holds (block included) is free: its last reader has
        // let go of it, and nothing else can reach it.
        const auto free = std::find_if(rooms_.begin(), rooms_.end(), [&](const auto& room) {
            const auto& layout = room->audioLayout().front();
            return room->retain_count() == 1 && room->dataBuffer()->retain_count() == 1 &&
                   layout.data_byte_size == bytes && layout.number_channels == channels &&
                   room->sampleRate() == sample_rate;
        });
        if (free != rooms_.end()) {
            lent_ = *free;
        } else if (rooms_.size() < MAX_ROOMS) {
            const auto block = CMBlockBuffer::create(bytes);
            lent_ =
                CMSampleBuffer::createInterleavedFloat(block.get(), bytes, channels, sample_rate);
            rooms_.push_back(lent_);
        } else {
            // The outputs fell behind, or a burst came (the silence owed for a wait, say):
            // meanwhile fragments are copied, and silence shares the block of zeros.
            return {};
        }
        return {reinterpret_cast<float*>(lent_->dataBuffer()->data()), samples};
    }

    void sample_buffer(CMSampleBuffer* buffer, SCStreamOutputType type) override {
        if (const auto core = core_.lock()) core->deliver(buffer, type, session_);
    }

    void failed(std::string description) override {
        if (failed_.exchange(true)) return;  // only the first failure of a capture counts
        // The reaction (ending the capture, telling the delegate) belongs on a worker, never on
        // the backend's thread.
        post([core = core_, session = session_, description = std::move(description)]() mutable {
            if (const auto locked = core.lock()) locked->failed(session, std::move(description));
        });
    }

private:
    // Fragments queued at once before the pool stops growing.
    static constexpr std::size_t MAX_ROOMS = 4;

    // The sample buffer whose room holds `interleaved` (the room lent last), or null. Its
    // first frames only: a buffer of its own over the same block.
    Ref<CMSampleBuffer> take_lent(std::span<const float> interleaved, std::uint32_t channels,
                                  std::int64_t sample_rate) {
        std::lock_guard lock(rooms_mutex_);
        if (!lent_ ||
            interleaved.data() != reinterpret_cast<const float*>(lent_->dataBuffer()->data())) {
            return nullptr;
        }
        Ref<CMSampleBuffer> lent = std::move(lent_);
        if (interleaved.size_bytes() == lent->audioLayout().front().data_byte_size) return lent;
        return CMSampleBuffer::createInterleavedFloat(lent->dataBuffer(), interleaved.size_bytes(),
                                                      channels, sample_rate);
    }

    static bool is_silence(std::span<const float> samples) {
        return std::all_of(samples.begin(), samples.end(),
                           [](float sample) { return std::bit_cast<std::uint32_t>(sample) == 0; });
    }

    // Digital silence (an idle desktop, or the silence owed for the wait before the first
    // data, handed over at once) shares one block of zeros instead of a copy per buffer.
    Ref<CMSampleBuffer> silence(std::size_t bytes, std::uint32_t channels,
                                std::int64_t sample_rate) {
        Ref<CMBlockBuffer> zeros;
        {
            std::lock_guard lock(zeros_mutex_);
            if (CMBlockBufferGetDataLength(zeros_.get()) < bytes)
                zeros_ = CMBlockBuffer::create(bytes);
            zeros = zeros_;
        }
        return CMSampleBuffer::createInterleavedFloat(zeros.get(), bytes, channels, sample_rate);
    }

    const std::weak_ptr<StreamCore> core_;
    const std::uint64_t session_;
    std::atomic<bool> failed_{false};
    std::mutex zeros_mutex_;
    Ref<CMBlockBuffer> zeros_;
    std::mutex rooms_mutex_;
    std::vector<Ref<CMSampleBuffer>> rooms_;  // sample buffers whose rooms are lent again
    Ref<CMSampleBuffer> lent_;                // the room lent last, until it is handed over
};

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
            set_error(error, SCStreamErrorInvalidParameter, std::move(admitted.error()));
            return false;
        }
    }
    Ref<DispatchQueue> chosen =
        queue != nullptr
            ? Ref<DispatchQueue>::retain(queue)
            : DispatchQueue::create("platform.stream.output", QualityOfService::UserInteractive);
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
    if (phase_ != Phase::Idle) {
        lock.unlock();
        complete_later(std::move(handler),
                       {{SCStreamErrorAttemptToStartStreamState, "The stream is already running"}});
        return;
    }
    SCDisplay* const display = filter != nullptr ? filter->display() : nullptr;
    if (display == nullptr) {
        lock.unlock();
        complete_later(std::move(handler),
                       {{SCStreamErrorNoCaptureSource, "The content filter selects no display"}});
        return;
    }
    if (!settings.capturesAudio) {
        // Nothing this platform records besides audio: the capture runs and delivers nothing.
        phase_ = Phase::Running;
        ++session_;
        lock.unlock();
        complete_later(std::move(handler), std::nullopt);
        return;
    }
    const auto backend = installed_backend();
    if (!backend) {
        lock.unlock();
        complete_later(std::move(handler),
                       {{SCStreamErrorFailedToStart, "No capture backend is installed"}});
        return;
    }
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
        complete_later(std::move(handler),
                       {{SCStreamErrorAttemptToStopStreamState, "The stream is not running"}});
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

void StreamCore::failed(std::uint64_t session, std::string description) {
    std::shared_ptr<Capture> ended;
    Ref<SCStreamDelegate> delegate;
    Ref<SCStream> stream;
    {
        std::lock_guard lock(mutex_);
        if (session_ != session) return;
        if (phase_ == Phase::Starting) {
            // Reported through the start's answer instead.
            if (!pending_failure_) pending_failure_ = std::move(description);
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
        const auto error = NSError::make(SCStreamErrorDomain, SCStreamErrorSystemStoppedStream,
                                         std::move(description));
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
        queue->async([stream = std::move(held), output = std::move(output), sample, type] {
            output->stream_didOutputSampleBuffer_ofType(stream.get(), sample.get(), type);
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
