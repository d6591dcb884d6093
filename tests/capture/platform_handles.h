// Tests look behind the bridge's opaque handles: each handle is the platform object itself.
#pragma once

#include <string>
#include <utility>

#include "capture/bridge/bridge.h"
#include "platform/platform.h"

namespace capture_test {

inline platform::SCDisplay* platform_of(sc_display* h) {
    return reinterpret_cast<platform::SCDisplay*>(h);
}
inline platform::SCWindow* platform_of(sc_window* h) {
    return reinterpret_cast<platform::SCWindow*>(h);
}
inline platform::SCRunningApplication* platform_of(sc_running_application* h) {
    return reinterpret_cast<platform::SCRunningApplication*>(h);
}
inline platform::SCContentFilter* platform_of(sc_content_filter* h) {
    return reinterpret_cast<platform::SCContentFilter*>(h);
}
inline platform::SCStreamConfiguration* platform_of(sc_stream_configuration* h) {
    return reinterpret_cast<platform::SCStreamConfiguration*>(h);
}
inline platform::SCStream* platform_of(sc_stream* h) {
    return reinterpret_cast<platform::SCStream*>(h);
}
inline platform::CMSampleBuffer* platform_of(cm_sample_buffer* h) {
    return reinterpret_cast<platform::CMSampleBuffer*>(h);
}
inline cm_sample_buffer* handle_of(platform::CMSampleBuffer* b) {
    return reinterpret_cast<cm_sample_buffer*>(b);
}
inline sc_shareable_content* handle_of(platform::SCShareableContent* c) {
    return reinterpret_cast<sc_shareable_content*>(c);
}

// A window (application) of the test's own, as a handle carrying one reference.
inline sc_window* new_window_handle(std::uint32_t id) {
    platform::WindowDescription description;
    description.window_id = id;
    description.title = "window " + std::to_string(id);
    return reinterpret_cast<sc_window*>(platform::make<platform::SCWindow>(description).leak());
}
inline sc_running_application* new_application_handle(std::int32_t pid) {
    platform::ApplicationDescription description;
    description.process_id = pid;
    description.application_name = "app " + std::to_string(pid);
    return reinterpret_cast<sc_running_application*>(
        platform::make<platform::SCRunningApplication>(description).leak());
}

// One interleaved stereo audio buffer of a few frames.
inline platform::Ref<platform::CMSampleBuffer> small_audio_buffer() {
    const float frames[8] = {0.5f, -0.5f, 0.25f, -0.25f, 0.0f, 0.0f, 1.0f, -1.0f};
    return platform::CMSampleBuffer::createInterleavedFloat(frames, 2, 48000);
}

}  // namespace capture_test
