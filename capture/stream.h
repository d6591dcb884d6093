// A capture stream: a content filter and a configuration tied to a platform stream.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <type_traits>

#include "capture/bridge/bridge.h"
#include "capture/content_filter.h"
#include "capture/dispatch_queue.h"
#include "capture/error.h"
#include "capture/stream_configuration.h"
#include "capture/stream_context.h"
#include "capture/stream_delegate.h"
#include "capture/stream_output.h"

namespace capture {

class SCStream {
public:
    // Both are borrowed; the caller may release them once the stream is gone.
    SCStream(const SCContentFilter& filter, const SCStreamConfiguration& configuration);
    // As above, with a delegate that receives the stream's own stop instead of standard error.
    SCStream(const SCContentFilter& filter, const SCStreamConfiguration& configuration,
             std::unique_ptr<SCStreamDelegateTrait> delegate);

    SCStream(SCStream&& other) noexcept;
    SCStream& operator=(SCStream&& other) noexcept;
    SCStream(const SCStream&) = delete;
    SCStream& operator=(const SCStream&) = delete;
    // Releases the stream (this does not stop capture) and this value's context reference.
    // Registered handlers live on until the bridge lets go of the context too.
    ~SCStream();

    // Block until the platform answers; there is no time limit.
    std::expected<void, SCError> start_capture() const;
    std::expected<void, SCError> stop_capture() const;

    // Registers `handler` for `output_type`, delivered on `queue` when one is given (the
    // first registration of a type fixes its queue). Returns the handler's id, or nothing
    // when the stream refused, in which case the handler has been destroyed. Must not be
    // called from a handler of this stream.
    std::optional<std::size_t> add_output_handler_with_queue(
        std::unique_ptr<SCStreamOutputTrait> handler, SCStreamOutputType output_type,
        const DispatchQueue* queue);

    template <class F>
    requires OutputHandlerCallable<std::decay_t<F>> std::optional<std::size_t>
    add_output_handler_with_queue(F&& handler, SCStreamOutputType output_type,
                                  const DispatchQueue* queue) {
        return add_output_handler_with_queue(make_output_handler(std::forward<F>(handler)),
                                             output_type, queue);
    }

    template <class F>
    requires OutputHandlerCallable<std::decay_t<F>> std::optional<std::size_t> add_output_handler(
        F&& handler, SCStreamOutputType output_type) {
        return add_output_handler_with_queue(std::forward<F>(handler), output_type, nullptr);
    }

    sc_stream* raw() const { return stream_; }
    StreamContext* context() const { return context_; }

private:
    void release();

    sc_stream* stream_ = nullptr;
    StreamContext* context_ = nullptr;
};

}  // namespace capture
