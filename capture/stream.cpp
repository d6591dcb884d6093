#include "capture/stream.h"

#include <mutex>
#include <utility>

#include "capture/sync_completion.h"

namespace capture {

namespace {

using StartStop = void (*)(sc_stream*, void*, sc_completion_callback);

// Runs one start or stop and waits for its completion.
SyncCompletionResult<void> run_blocking(StartStop operation, sc_stream* stream) {
    auto [completion, user_data] = SyncCompletion<void>::create();
    operation(stream, user_data, &SyncCompletion<void>::callback);
    return std::move(completion).wait();
}

}  // namespace

SCStream::SCStream(const SCContentFilter& filter, const SCStreamConfiguration& configuration)
    : SCStream(filter, configuration, nullptr) {}

SCStream::SCStream(const SCContentFilter& filter, const SCStreamConfiguration& configuration,
                   std::unique_ptr<SCStreamDelegateTrait> delegate)
    : context_(new_stream_context(std::move(delegate))) {
    stream_ = sc_stream_create(filter.raw(), configuration.raw(), context_, delegate_error_callback,
                               sample_handler, context_retain_cb, context_release_cb);
}

SCStream::SCStream(SCStream&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)),
      context_(std::exchange(other.context_, nullptr)) {}

SCStream& SCStream::operator=(SCStream&& other) noexcept {
    if (this != &other) {
        release();
        stream_ = std::exchange(other.stream_, nullptr);
        context_ = std::exchange(other.context_, nullptr);
    }
    return *this;
}

SCStream::~SCStream() { release(); }

void SCStream::release() {
    if (sc_stream* stream = std::exchange(stream_, nullptr)) sc_stream_release(stream);
    context_release_cb(std::exchange(context_, nullptr));
}

std::expected<void, SCError> SCStream::start_capture() const {
    auto result = run_blocking(sc_stream_start_capture, stream_);
    if (!result) return std::unexpected(SCError(SCError::CaptureStartFailed{result.error()}));
    return {};
}

std::expected<void, SCError> SCStream::stop_capture() const {
    auto result = run_blocking(sc_stream_stop_capture, stream_);
    if (!result) return std::unexpected(SCError(SCError::CaptureStopFailed{result.error()}));
    return {};
}

std::optional<std::size_t> SCStream::add_output_handler_with_queue(
    std::unique_ptr<SCStreamOutputTrait> handler, SCStreamOutputType output_type,
    const DispatchQueue* queue) {
    if (handler == nullptr || context_ == nullptr) return std::nullopt;
    // Taken first, so a refused registration uses up its id too.
    const std::size_t id = NEXT_HANDLER_ID.fetch_add(1, std::memory_order_seq_cst);
    const auto raw_type = static_cast<std::int32_t>(output_type);
    // A stream the platform never made has no bridge state: refused like one.
    const bool accepted =
        stream_ != nullptr &&
        (queue != nullptr ? sc_stream_add_stream_output_with_queue(stream_, raw_type, queue->raw())
                          : sc_stream_add_stream_output(stream_, raw_type));
    if (!accepted) return std::nullopt;  // `handler` is destroyed here
    std::unique_lock lock(context_->handlers_lock);
    context_->handlers.push_back(HandlerEntry{std::move(handler), id, output_type});
    return id;
}

}  // namespace capture
