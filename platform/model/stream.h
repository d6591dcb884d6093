// SCStream: captures what a content filter selects, with a configuration's settings, and
// hands sample buffers to its registered outputs on their queues.
//
// Life of a capture: startCapture → running (the backend records; every fragment becomes
// one audio sample buffer queued to each audio output) → stopCapture, whose completion runs
// after the backend has stopped and after every sample buffer queued before that has been
// handed to its output. A failure while running stops the capture and reaches the delegate
// once, as stream_didStopWithError with SCStreamErrorDomain / SCStreamErrorSystemStoppedStream
// and the backend's text. Dropping the last reference to a running stream ends the capture
// without notifications.
#pragma once

#include <functional>
#include <memory>

#include "platform/model/content_filter.h"
#include "platform/model/dispatch_queue.h"
#include "platform/model/error.h"
#include "platform/model/object.h"
#include "platform/model/ref.h"
#include "platform/model/sample_buffer.h"
#include "platform/model/stream_configuration.h"
#include "platform/model/stream_output.h"

namespace platform {

class StreamCore;

class SCStream final : public Object {
public:
    using CompletionHandler = StreamCompletionHandler;

    // Retains filter and delegate; copies the configuration's settings (null: defaults).
    static Ref<SCStream> initWithFilter(SCContentFilter* filter,
                                        SCStreamConfiguration* configuration,
                                        SCStreamDelegate* delegate);

    // Registers output for sample buffers of type, delivered on sampleHandlerQueue (null: a
    // serial queue of the stream's own). The stream keeps output and queue until the output
    // is removed or the stream goes. Refused, with *error set when error is non-null, for a
    // null output, an output already registered for that type, or when the backend refuses.
    bool addStreamOutput(SCStreamOutput* output, SCStreamOutputType type,
                         DispatchQueue* sampleHandlerQueue, Ref<NSError>* error);
    bool removeStreamOutput(SCStreamOutput* output, SCStreamOutputType type, Ref<NSError>* error);

    // Return at once; the handler runs exactly once, later, on a platform worker thread.
    // Starting a stream that is not idle, or stopping one that is not running, fails.
    void startCaptureWithCompletionHandler(CompletionHandler completionHandler);
    void stopCaptureWithCompletionHandler(CompletionHandler completionHandler);

    // Queues buffer for every output registered for type, as captured data is, whether or
    // not a capture runs. Backends reach this through their sink; tests call it directly.
    void deliverSampleBuffer(CMSampleBuffer* buffer, SCStreamOutputType type);

    const StreamSettings& settings() const noexcept { return settings_; }

private:
    SCStream(SCContentFilter* filter, StreamSettings settings, SCStreamDelegate* delegate);
    ~SCStream() override;

    const StreamSettings settings_;
    const Ref<SCContentFilter> filter_;
    std::shared_ptr<StreamCore> core_;
};

}  // namespace platform
