// Tests look behind the bridge's opaque handles with the bridge's own casts.
#pragma once

#include <string>
#include <utility>

#include "capture/bridge/bridge.h"
#include "capture/bridge/handles.h"
#include "platform/model/platform.h"
#include "tests/support/scripted_fixture.h"

namespace capture_test {

using bridge::from_handle;
using bridge::to_handle;

// A window (application) of the test's own, as a handle carrying one reference.
inline sc_window* new_window_handle(std::uint32_t id) {
    platform::WindowDescription description;
    description.window_id = id;
    description.title = "window " + std::to_string(id);
    return to_handle(platform::make<platform::SCWindow>(description).leak());
}
inline sc_running_application* new_application_handle(std::int32_t pid) {
    platform::ApplicationDescription description;
    description.process_id = pid;
    description.application_name = "app " + std::to_string(pid);
    return to_handle(platform::make<platform::SCRunningApplication>(description).leak());
}

// One interleaved stereo audio buffer of a few frames.
inline platform::Ref<platform::CMSampleBuffer> small_audio_buffer() {
    const float frames[8] = {0.5f, -0.5f, 0.25f, -0.25f, 0.0f, 0.0f, 1.0f, -1.0f};
    return platform::scripted::interleaved_float_buffer(frames, 2, 48000);
}

}  // namespace capture_test
