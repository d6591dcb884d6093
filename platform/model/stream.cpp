#include "platform/model/stream.h"

#include <utility>

#include "platform/model/stream_core.h"

namespace platform {

SCStream::SCStream(SCContentFilter* filter, StreamSettings settings, SCStreamDelegate* delegate)
    : Object(Kind::Stream),
      settings_(settings),
      filter_(Ref<SCContentFilter>::retain(filter)),
      core_(std::make_shared<StreamCore>(this, delegate)) {}

SCStream::~SCStream() { core_->detach(); }

Ref<SCStream> SCStream::initWithFilter(SCContentFilter* filter,
                                       SCStreamConfiguration* configuration,
                                       SCStreamDelegate* delegate) {
    const StreamSettings settings =
        configuration != nullptr ? configuration->settings() : StreamSettings{};
    return Ref<SCStream>::adopt(new SCStream(filter, settings, delegate));
}

bool SCStream::addStreamOutput(SCStreamOutput* output, SCStreamOutputType type,
                               DispatchQueue* sampleHandlerQueue, Ref<NSError>* error) {
    return core_->add_output(output, type, sampleHandlerQueue, error);
}

bool SCStream::removeStreamOutput(SCStreamOutput* output, SCStreamOutputType type,
                                  Ref<NSError>* error) {
    return core_->remove_output(output, type, error);
}

void SCStream::startCaptureWithCompletionHandler(CompletionHandler completionHandler) {
    core_->start(settings_, filter_.get(), std::move(completionHandler));
}

void SCStream::stopCaptureWithCompletionHandler(CompletionHandler completionHandler) {
    core_->stop(std::move(completionHandler));
}

void SCStream::deliverSampleBuffer(CMSampleBuffer* buffer, SCStreamOutputType type) {
    core_->deliver(buffer, type, std::nullopt);
}

}  // namespace platform
