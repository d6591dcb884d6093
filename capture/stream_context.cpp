#include "capture/stream_context.h"

#include <algorithm>
#include <charconv>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "capture/callback_guard.h"
#include "capture/diagnostic_line.h"
#include "capture/error.h"

namespace capture {

std::atomic<std::size_t> NEXT_HANDLER_ID{1};

namespace {

void destroy_context(StreamContext* context) {
    // Explicitly in registration order: each handler gives back what it holds.
    for (HandlerEntry& entry : context->handlers) entry.handler.reset();
    std::vector<HandlerEntry>().swap(context->handlers);
    context->delegate.reset();
    delete context;
}

SCError stop_error(std::int32_t code, const std::string& message) {
    if (code == 0) return SCError::StreamError{message};
    if (const auto known = stream_error_code_from_raw(code)) {
        return SCError::SCStreamError{*known, message};
    }
    return SCError::StreamError{message + " (code: " + std::to_string(code) + ")"};
}

// Writes "Unknown output type: <n>" without allocating: this runs on the capture queue.
void report_unknown_output_type(std::int32_t output_type) {
    constexpr std::string_view PREFIX = "Unknown output type: ";
    char line[PREFIX.size() + 16];
    PREFIX.copy(line, PREFIX.size());
    char* end = std::to_chars(line + PREFIX.size(), line + sizeof(line) - 1, output_type).ptr;
    *end++ = '\n';
    write_diagnostic_line(std::string_view(line, static_cast<std::size_t>(end - line)));
}

}  // namespace

StreamContext* new_stream_context(std::unique_ptr<SCStreamDelegateTrait> delegate) {
    auto* context = new StreamContext();  // shared with the bridge through a C pointer
    context->delegate = std::move(delegate);
    return context;
}

void context_retain_cb(void* context) noexcept {
    if (context == nullptr) return;
    static_cast<StreamContext*>(context)->ref_count.fetch_add(1, std::memory_order_relaxed);
}

void context_release_cb(void* context) noexcept {
    if (context == nullptr) return;
    auto* stream_context = static_cast<StreamContext*>(context);
    if (stream_context->ref_count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        destroy_context(stream_context);
    }
}

void delegate_error_callback(void* context, std::int32_t code, const char* message) noexcept {
    if (context == nullptr) return;
    auto* stream_context = static_cast<StreamContext*>(context);
    // Running out of memory while building the report drops the report, nothing more.
    try {
        const std::string text = error_from_cstr(message);
        const SCError error = stop_error(code, text);
        {
            std::shared_lock lock(stream_context->delegate_lock);
            if (const SCStreamDelegateTrait* delegate = stream_context->delegate.get()) {
                catch_user_panic("delegate.did_stop_with_error",
                                 [&] { delegate->did_stop_with_error(error); });
                catch_user_panic("delegate.stream_did_stop", [&] {
                    delegate->stream_did_stop(std::optional<std::string>(text));
                });
                return;
            }
        }
        write_diagnostic_line("SCStream error: " + error.to_string() + "\n");
    } catch (...) {}
}

void sample_handler(void* context, cm_sample_buffer* sample_buffer,
                    std::int32_t output_type) noexcept {
    // Owns the incoming reference until it is handed to the last matching handler.
    CMSampleBuffer incoming(sample_buffer);
    if (context == nullptr) return;
    if (static_cast<std::uint32_t>(output_type) >= 3) {
        report_unknown_output_type(output_type);
        return;
    }
    auto* stream_context = static_cast<StreamContext*>(context);
    const auto type = static_cast<SCStreamOutputType>(output_type);

    std::shared_lock lock(stream_context->handlers_lock);
    const std::vector<HandlerEntry>& handlers = stream_context->handlers;
    // One past the last handler for this type; the beginning when there is none.
    const auto end = std::find_if(handlers.rbegin(), handlers.rend(), [type](const auto& entry) {
                         return entry.output_type == type;
                     }).base();
    for (auto entry = handlers.begin(); entry != end; ++entry) {
        if (entry->output_type != type) continue;
        // Every handler but the last gets an extra reference; the last gets the incoming one.
        CMSampleBuffer own = entry + 1 == end ? std::move(incoming) : incoming.retained();
        SCStreamOutputTrait& handler = *entry->handler;
        catch_user_panic("output handler",
                         [&] { handler.did_output_sample_buffer(std::move(own), type); });
    }
}

}  // namespace capture
