// The two protocols a stream's client implements: SCStreamOutput receives sample buffers,
// SCStreamDelegate hears about a stream that stopped on its own. Client objects are
// platform objects too: a stream retains the outputs and the delegate it is given.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/model/error.h"
#include "platform/model/object.h"
#include "platform/model/sample_buffer.h"

namespace platform {

class SCStream;

// Called once when a stream's start or stop has finished: error is null on success; it is
// valid for the call.
using StreamCompletionHandler = std::function<void(NSError* error)>;

// Any value may arrive from a misbehaving producer; these three are the defined ones.
enum class SCStreamOutputType : std::int64_t { Screen = 0, Audio = 1, Microphone = 2 };

class SCStreamOutput : public Object {
public:
    // Runs on the queue given at registration, one call at a time. sampleBuffer is valid for
    // the call; retain it to keep it.
    virtual void stream_didOutputSampleBuffer_ofType(SCStream* stream, CMSampleBuffer* sampleBuffer,
                                                     SCStreamOutputType type) = 0;

protected:
    SCStreamOutput() noexcept : Object(Kind::StreamOutput) {}
    ~SCStreamOutput() override = default;
};

class SCStreamDelegate : public Object {
public:
    // Runs on a platform worker thread when the stream stops on its own, at most once per
    // start. Both pointers are valid for the call.
    virtual void stream_didStopWithError(SCStream* stream, NSError* error) = 0;

protected:
    SCStreamDelegate() noexcept : Object(Kind::StreamDelegate) {}
    ~SCStreamDelegate() override = default;
};

}  // namespace platform
