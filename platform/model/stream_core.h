// The mutable heart of an SCStream: outputs, delegate, and the capture state machine.
// Shared with the capture's sink and with pending completions, so that whatever arrives
// late finds a consistent record even after the stream itself is gone. Internal to the
// platform.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/model/backend.h"
#include "platform/model/content_filter.h"
#include "platform/model/dispatch_queue.h"
#include "platform/model/error.h"
#include "platform/model/ref.h"
#include "platform/model/sample_buffer.h"
#include "platform/model/stream_configuration.h"
#include "platform/model/stream_output.h"

namespace platform {

class SCStream;

class StreamCore : public std::enable_shared_from_this<StreamCore> {
public:
    StreamCore(SCStream* owner, SCStreamDelegate* delegate);

    bool add_output(SCStreamOutput* output, SCStreamOutputType type, DispatchQueue* queue,
                    Ref<NSError>* error);
    bool remove_output(SCStreamOutput* output, SCStreamOutputType type, Ref<NSError>* error);

    void start(const StreamSettings& settings, SCContentFilter* filter,
               StreamCompletionHandler handler);
    void stop(StreamCompletionHandler handler);

    // Queues buffer for the outputs of type; with a session, only while it is current.
    void deliver(CMSampleBuffer* buffer, SCStreamOutputType type,
                 std::optional<std::uint64_t> session);
    void failed(std::uint64_t session, BackendError failure);

    // The stream is going: no more deliveries or notifications, the capture ends.
    void detach();

private:
    enum class Phase { Idle, Starting, Running, Stopping };
    struct Output {
        Ref<SCStreamOutput> output;
        SCStreamOutputType type;
        Ref<DispatchQueue> queue;
    };

    void on_started(std::uint64_t session, Outcome outcome, const StreamCompletionHandler& handler);
    void on_stopped(std::uint64_t session, Outcome outcome, const StreamCompletionHandler& handler);
    std::vector<Ref<DispatchQueue>> output_queues_locked() const;

    mutable std::mutex mutex_;
    SCStream* owner_;  // not owned; null once the stream is gone
    Ref<SCStreamDelegate> delegate_;
    std::vector<Output> outputs_;
    Phase phase_ = Phase::Idle;
    // Names one capture; bumped whenever a capture begins or ends, so that late calls from
    // an old capture are recognised and ignored.
    std::uint64_t session_ = 0;
    std::shared_ptr<Capture> capture_;
    std::optional<BackendError> pending_failure_;
    // True while the backend's start_capture call has not returned yet. Start answers that
    // come in that window wait in deferred_starts_ until the capture is stored, so that no
    // stop can find the stream running without the capture it has to stop.
    bool start_in_flight_ = false;
    struct DeferredStart {
        Outcome outcome;
        StreamCompletionHandler handler;
    };
    std::vector<DeferredStart> deferred_starts_;
};

}  // namespace platform
