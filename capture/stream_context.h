// The per-stream record shared by the binding's SCStream and the bridge's two forwarding
// objects, and the C callbacks through which the bridge reaches it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <vector>

#include "capture/bridge/bridge.h"
#include "capture/stream_delegate.h"
#include "capture/stream_output.h"

namespace capture {

// Handler ids, unique across all streams of the process and never reused; the first is 1.
extern std::atomic<std::size_t> NEXT_HANDLER_ID;

struct HandlerEntry {
    std::unique_ptr<SCStreamOutputTrait> handler;
    std::size_t id;
    SCStreamOutputType output_type;
};

// Freed by whichever holder drops the last reference, on whatever thread: the SCStream
// value holds one, each of the bridge's forwarding objects another.
struct StreamContext {
    // Registration order; entries are appended and live as long as the context.
    std::shared_mutex handlers_lock;
    std::vector<HandlerEntry> handlers;

    std::shared_mutex delegate_lock;
    std::unique_ptr<SCStreamDelegateTrait> delegate;

    std::atomic<std::size_t> ref_count{1};
};

// A new context with one reference for its creator.
StreamContext* new_stream_context(std::unique_ptr<SCStreamDelegateTrait> delegate = nullptr);

// C callbacks handed to sc_stream_create; each takes the context as its first argument.
void context_retain_cb(void* context) noexcept;
// The call that drops the last reference destroys the handlers in registration order, then
// the registry, then the delegate, then the context.
void context_release_cb(void* context) noexcept;
// Reports a stream that stopped on its own: to the delegate if there is one, otherwise as
// "SCStream error: <error text>" on standard error.
void delegate_error_callback(void* context, std::int32_t code, const char* message) noexcept;
// Dispatches one sample buffer (the call owns one reference) to every handler registered
// for `output_type`, in registration order, each with a reference of its own.
void sample_handler(void* context, cm_sample_buffer* sample_buffer,
                    std::int32_t output_type) noexcept;

}  // namespace capture
