// The bridge's per-stream objects: the delegate and output objects the platform calls, the
// record that ties them to a stream, and the process-wide table of those records.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>

#include "capture/bridge/bridge.h"
#include "platform/model/ref.h"
#include "platform/model/stream.h"
#include "platform/model/stream_output.h"

namespace bridge {

// Forwards a stream that stopped on its own to the binding's error callback. Holds one
// context reference, given back through contextRelease when the last holder (the stream
// record or the platform stream) lets go.
class StreamDelegateWrapper final : public platform::SCStreamDelegate {
public:
    StreamDelegateWrapper(void* context, sc_stream_error_callback error_callback,
                          sc_context_callback context_release) noexcept;

    void stream_didStopWithError(platform::SCStream* stream, platform::NSError* error) override;

    void* const contextPtr;
    const sc_stream_error_callback errorCallback;
    const sc_context_callback contextRelease;

private:
    ~StreamDelegateWrapper() override;
};

// Hands every sample buffer to the binding, on the thread the platform delivers on. Its
// fields are written once, before registration, and only read afterwards, so delivery
// needs no lock.
class StreamOutputHandler final : public platform::SCStreamOutput {
public:
    StreamOutputHandler(void* context, sc_stream_sample_buffer_callback sample_buffer_callback,
                        sc_context_callback context_release) noexcept;

    void stream_didOutputSampleBuffer_ofType(platform::SCStream* stream,
                                             platform::CMSampleBuffer* sampleBuffer,
                                             platform::SCStreamOutputType type) override;

    void* const contextPtr;
    const sc_stream_sample_buffer_callback sampleBufferCallback;
    const sc_context_callback contextRelease;

private:
    ~StreamOutputHandler() override;
};

struct StreamState {
    StreamState(platform::Ref<StreamDelegateWrapper> delegate_wrapper,
                platform::Ref<StreamOutputHandler> output_handler)
        : delegate(std::move(delegate_wrapper)), outputHandler(std::move(output_handler)) {}

    const platform::Ref<StreamDelegateWrapper> delegate;
    const platform::Ref<StreamOutputHandler> outputHandler;
    // Output types already registered with the platform; guarded by lock.
    std::set<int32_t> outputTypes;
    std::mutex lock;
};

// Keyed by stream identity; only touched under streamStatesLock, which is held for one
// lookup, insertion or removal and never across a platform call or a call into the binding.
extern std::unordered_map<const platform::SCStream*, std::shared_ptr<StreamState>> streamStates;
extern std::mutex streamStatesLock;

// The stream's record with a reference of the caller's own, or null.
std::shared_ptr<StreamState> find_stream_state(const platform::SCStream* stream);

}  // namespace bridge
