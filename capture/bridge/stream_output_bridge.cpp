// Registration of a stream's outputs with the platform. The first registration of a type
// fixes the queue that serves it; later ones for the same type are answered without asking
// the platform again.
#include <memory>
#include <mutex>
#include <string>

#include "capture/bridge/bridge.h"
#include "capture/bridge/handles.h"
#include "capture/bridge/stream_state.h"
#include "platform/model/dispatch_queue.h"
#include "platform/model/error.h"

namespace {

using bridge::from_handle;

constexpr const char* OUTPUT_QUEUE_LABEL_PREFIX = "com.velgo.marrinet.audio-helper.output.";

// Screen is 0; microphone (2) asks for the platform's microphone output so that its buffers
// reach microphone handlers; every other number registers audio.
platform::SCStreamOutputType platform_output_type(int32_t type) noexcept {
    switch (type) {
        case 0:
            return platform::SCStreamOutputType::Screen;
        case 2:
            return platform::SCStreamOutputType::Microphone;
        default:
            return platform::SCStreamOutputType::Audio;
    }
}

bool holds_type(bridge::StreamState& state, int32_t type) {
    const std::lock_guard lock(state.lock);
    return state.outputTypes.contains(type);
}

bool add_output(sc_stream* stream, int32_t type, sc_dispatch_queue* queue) {
    if (stream == nullptr) return false;
    const auto held = platform::Ref<platform::SCStream>::retain(from_handle(stream));
    const std::shared_ptr<bridge::StreamState> state = bridge::find_stream_state(held.get());
    if (!state) return false;
    if (holds_type(*state, type)) return true;

    const auto chosen =
        queue != nullptr
            ? platform::Ref<platform::DispatchQueue>::retain(from_handle(queue))
            : platform::DispatchQueue::create(OUTPUT_QUEUE_LABEL_PREFIX + std::to_string(type));
    platform::Ref<platform::NSError> error;  // dropped without a message
    if (!held->addStreamOutput(state->outputHandler.get(), platform_output_type(type), chosen.get(),
                               &error)) {
        return false;
    }
    const std::lock_guard lock(state->lock);
    state->outputTypes.insert(type);
    return true;
}

}  // namespace

extern "C" {

bool sc_stream_add_stream_output(sc_stream* stream, int32_t output_type) {
    return add_output(stream, output_type, nullptr);
}

bool sc_stream_add_stream_output_with_queue(sc_stream* stream, int32_t output_type,
                                            sc_dispatch_queue* queue) {
    return add_output(stream, output_type, queue);
}

bool sc_stream_remove_stream_output(sc_stream* stream, int32_t output_type) {
    if (stream == nullptr) return false;
    const auto held = platform::Ref<platform::SCStream>::retain(from_handle(stream));
    const std::shared_ptr<bridge::StreamState> state = bridge::find_stream_state(held.get());
    if (!state || !holds_type(*state, output_type)) return false;
    platform::Ref<platform::NSError> error;
    if (!held->removeStreamOutput(state->outputHandler.get(), platform_output_type(output_type),
                                  &error)) {
        return false;
    }
    const std::lock_guard lock(state->lock);
    state->outputTypes.erase(output_type);
    return true;
}

}  // extern "C"
