// Inside the bridge a C handle is the platform object itself; these casts are the only
// place that says so (the tests that look behind a handle use them too).
#pragma once

#include "capture/bridge/bridge.h"
#include "platform/model/block_buffer.h"
#include "platform/model/content_filter.h"
#include "platform/model/dispatch_queue.h"
#include "platform/model/display.h"
#include "platform/model/running_application.h"
#include "platform/model/sample_buffer.h"
#include "platform/model/shareable_content.h"
#include "platform/model/stream.h"
#include "platform/model/stream_configuration.h"
#include "platform/model/window.h"

namespace bridge {

template <class Platform, class Handle>
Platform* platform_cast(Handle* handle) noexcept {
    return reinterpret_cast<Platform*>(handle);
}

template <class Handle, class Platform>
Handle* handle_cast(Platform* object) noexcept {
    return reinterpret_cast<Handle*>(object);
}

inline platform::SCShareableContent* from_handle(sc_shareable_content* h) noexcept {
    return platform_cast<platform::SCShareableContent>(h);
}
inline platform::SCDisplay* from_handle(sc_display* h) noexcept {
    return platform_cast<platform::SCDisplay>(h);
}
inline platform::SCWindow* from_handle(sc_window* h) noexcept {
    return platform_cast<platform::SCWindow>(h);
}
inline platform::SCRunningApplication* from_handle(sc_running_application* h) noexcept {
    return platform_cast<platform::SCRunningApplication>(h);
}
inline platform::SCContentFilter* from_handle(sc_content_filter* h) noexcept {
    return platform_cast<platform::SCContentFilter>(h);
}
inline platform::SCStreamConfiguration* from_handle(sc_stream_configuration* h) noexcept {
    return platform_cast<platform::SCStreamConfiguration>(h);
}
inline platform::SCStream* from_handle(sc_stream* h) noexcept {
    return platform_cast<platform::SCStream>(h);
}
inline platform::DispatchQueue* from_handle(sc_dispatch_queue* h) noexcept {
    return platform_cast<platform::DispatchQueue>(h);
}
inline platform::CMSampleBuffer* from_handle(cm_sample_buffer* h) noexcept {
    return platform_cast<platform::CMSampleBuffer>(h);
}
inline platform::CMBlockBuffer* from_handle(cm_block_buffer* h) noexcept {
    return platform_cast<platform::CMBlockBuffer>(h);
}

inline sc_shareable_content* to_handle(platform::SCShareableContent* o) noexcept {
    return handle_cast<sc_shareable_content>(o);
}
inline sc_display* to_handle(platform::SCDisplay* o) noexcept { return handle_cast<sc_display>(o); }
inline sc_window* to_handle(platform::SCWindow* o) noexcept { return handle_cast<sc_window>(o); }
inline sc_running_application* to_handle(platform::SCRunningApplication* o) noexcept {
    return handle_cast<sc_running_application>(o);
}
inline sc_content_filter* to_handle(platform::SCContentFilter* o) noexcept {
    return handle_cast<sc_content_filter>(o);
}
inline sc_stream_configuration* to_handle(platform::SCStreamConfiguration* o) noexcept {
    return handle_cast<sc_stream_configuration>(o);
}
inline sc_stream* to_handle(platform::SCStream* o) noexcept { return handle_cast<sc_stream>(o); }
inline sc_dispatch_queue* to_handle(platform::DispatchQueue* o) noexcept {
    return handle_cast<sc_dispatch_queue>(o);
}
inline cm_sample_buffer* to_handle(platform::CMSampleBuffer* o) noexcept {
    return handle_cast<cm_sample_buffer>(o);
}
inline cm_block_buffer* to_handle(platform::CMBlockBuffer* o) noexcept {
    return handle_cast<cm_block_buffer>(o);
}

}  // namespace bridge
