// Streams: creation with the delegate and output objects that forward to the binding, the
// asynchronous start and stop, and release.
#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "capture/bridge/bridge.h"
#include "capture/bridge/handles.h"
#include "capture/bridge/stream_state.h"
#include "platform/model/error.h"
#include "platform/runtime/runtime.h"

namespace bridge {

std::unordered_map<const platform::SCStream*, std::shared_ptr<StreamState>> streamStates;
std::mutex streamStatesLock;

std::shared_ptr<StreamState> find_stream_state(const platform::SCStream* stream) {
    const std::lock_guard lock(streamStatesLock);
    const auto found = streamStates.find(stream);
    return found != streamStates.end() ? found->second : nullptr;
}

namespace {

// Codes that do not fit 32 bits keep their sign and stay outside every known code.
int32_t code_as_int32(int64_t code) noexcept {
    return static_cast<int32_t>(std::clamp<int64_t>(code, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

}  // namespace

StreamDelegateWrapper::StreamDelegateWrapper(void* context, sc_stream_error_callback error_callback,
                                             sc_context_callback context_release) noexcept
    : contextPtr(context), errorCallback(error_callback), contextRelease(context_release) {}

StreamDelegateWrapper::~StreamDelegateWrapper() {
    if (contextRelease != nullptr) contextRelease(contextPtr);
}

void StreamDelegateWrapper::stream_didStopWithError(platform::SCStream* /*stream*/,
                                                    platform::NSError* error) {
    if (errorCallback == nullptr) return;
    if (error == nullptr) {
        errorCallback(contextPtr, 0, nullptr);
        return;
    }
    const int32_t code =
        error->domain() == platform::SCStreamErrorDomain ? code_as_int32(error->code()) : 0;
    errorCallback(contextPtr, code, error->localizedDescription().c_str());
}

StreamOutputHandler::StreamOutputHandler(void* context,
                                         sc_stream_sample_buffer_callback sample_buffer_callback,
                                         sc_context_callback context_release) noexcept
    : contextPtr(context),
      sampleBufferCallback(sample_buffer_callback),
      contextRelease(context_release) {}

StreamOutputHandler::~StreamOutputHandler() {
    if (contextRelease != nullptr) contextRelease(contextPtr);
}

// The binding's output type for a platform type: screen and microphone keep their numbers,
// everything else counts as audio.
static int32_t binding_output_type(platform::SCStreamOutputType type) noexcept {
    switch (type) {
        case platform::SCStreamOutputType::Screen:
            return 0;
        case platform::SCStreamOutputType::Microphone:
            return 2;
        default:
            return 1;
    }
}

void StreamOutputHandler::stream_didOutputSampleBuffer_ofType(
    platform::SCStream* /*stream*/, platform::CMSampleBuffer* sampleBuffer,
    platform::SCStreamOutputType type) {
    if (sampleBufferCallback == nullptr) return;
    // The binding owns this reference from here on.
    sampleBufferCallback(contextPtr, handle_cast<cm_sample_buffer>(platform::retain(sampleBuffer)),
                         binding_output_type(type));
}

}  // namespace bridge

namespace {

using bridge::from_handle;

using Operation = void (platform::SCStream::*)(platform::SCStream::CompletionHandler);

// Runs start or stop as a task on a platform worker; every completion the platform gives
// is passed on. The task holds the stream until its completion has run.
void run_async(sc_stream* stream, void* user_data, sc_completion_callback callback,
               Operation operation) {
    if (callback == nullptr) return;
    if (stream == nullptr) {
        platform::post([user_data, callback] {
            callback(user_data, false, "Stream error: No stream was given");
        });
        return;
    }
    auto held = platform::Ref<platform::SCStream>::retain(from_handle(stream));
    platform::post([held = std::move(held), user_data, callback, operation]() mutable {
        platform::SCStream* const target = held.get();
        (target->*operation)(
            [held = std::move(held), user_data, callback](platform::NSError* error) {
                if (error == nullptr) {
                    callback(user_data, true, nullptr);
                    return;
                }
                const std::string text = "Stream error: " + error->localizedDescription();
                callback(user_data, false, text.c_str());
            });
    });
}

}  // namespace

extern "C" {

sc_stream* sc_stream_create(sc_content_filter* filter, sc_stream_configuration* configuration,
                            void* context, sc_stream_error_callback error_callback,
                            sc_stream_sample_buffer_callback sample_buffer_callback,
                            sc_context_callback context_retain,
                            sc_context_callback context_release) {
    auto delegate =
        platform::make<bridge::StreamDelegateWrapper>(context, error_callback, context_release);
    if (context_retain != nullptr) context_retain(context);
    auto output = platform::make<bridge::StreamOutputHandler>(context, sample_buffer_callback,
                                                              context_release);
    if (context_retain != nullptr) context_retain(context);

    auto stream = platform::SCStream::initWithFilter(from_handle(filter),
                                                     from_handle(configuration), delegate.get());
    if (!stream) return nullptr;  // the two objects go now, giving their context references back

    auto state = std::make_shared<bridge::StreamState>(std::move(delegate), std::move(output));
    {
        const std::lock_guard lock(bridge::streamStatesLock);
        bridge::streamStates[stream.get()] = std::move(state);
    }
    return bridge::handle_cast<sc_stream>(stream.leak());
}

void sc_stream_start_capture(sc_stream* stream, void* user_data, sc_completion_callback callback) {
    run_async(stream, user_data, callback, &platform::SCStream::startCaptureWithCompletionHandler);
}

void sc_stream_stop_capture(sc_stream* stream, void* user_data, sc_completion_callback callback) {
    run_async(stream, user_data, callback, &platform::SCStream::stopCaptureWithCompletionHandler);
}

void sc_stream_release(sc_stream* stream) {
    if (stream == nullptr) return;
    platform::SCStream* const object = from_handle(stream);
    std::shared_ptr<bridge::StreamState> removed;
    {
        const std::lock_guard lock(bridge::streamStatesLock);
        const auto found = bridge::streamStates.find(object);
        if (found != bridge::streamStates.end()) {
            removed = std::move(found->second);
            bridge::streamStates.erase(found);
        }
    }
    // Dropped unlocked: letting go of the forwarding objects may call into the binding.
    removed.reset();
    object->release();
}

}  // extern "C"
