// Shareable content: the asynchronous request, its display list, and reference counting of
// the snapshot's elements.
#include <string>

#include "capture/bridge/bridge.h"
#include "capture/bridge/handles.h"
#include "platform/model/error.h"
#include "platform/model/ref.h"
#include "platform/model/shareable_content.h"
#include "platform/runtime/runtime.h"

using bridge::from_handle;
using bridge::handle_cast;

extern "C" {

void sc_shareable_content_get_with_options(bool exclude_desktop_windows,
                                           bool on_screen_windows_only,
                                           sc_shareable_content_callback callback,
                                           void* user_data) {
    if (callback == nullptr) return;
    // The request itself runs on a platform worker, so a slow backend never holds up the
    // caller. Every answer the platform gives is passed on; the platform promises one.
    platform::post([exclude_desktop_windows, on_screen_windows_only, callback, user_data] {
        platform::SCShareableContent::getShareableContentExcludingDesktopWindows(
            exclude_desktop_windows, on_screen_windows_only,
            [callback, user_data](platform::SCShareableContent* content, platform::NSError* error) {
                if (content != nullptr) {
                    // The receiver owns this reference.
                    callback(handle_cast<sc_shareable_content>(platform::retain(content)), nullptr,
                             user_data);
                    return;
                }
                if (error == nullptr) {
                    callback(nullptr, nullptr, user_data);
                    return;
                }
                const std::string text = "Content unavailable: " + error->localizedDescription();
                callback(nullptr, text.c_str(), user_data);
            });
    });
}

int64_t sc_shareable_content_get_displays_count(sc_shareable_content* content) {
    if (content == nullptr) return 0;
    return static_cast<int64_t>(from_handle(content)->displays().size());
}

sc_display* sc_shareable_content_get_display_at(sc_shareable_content* content, int64_t index) {
    if (content == nullptr || index < 0) return nullptr;
    const auto& displays = from_handle(content)->displays();
    if (static_cast<uint64_t>(index) >= displays.size()) return nullptr;
    return handle_cast<sc_display>(platform::retain(displays[static_cast<size_t>(index)].get()));
}

void sc_shareable_content_release(sc_shareable_content* content) {
    platform::release(from_handle(content));
}

sc_display* sc_display_retain(sc_display* display) {
    return handle_cast<sc_display>(platform::retain(from_handle(display)));
}

void sc_display_release(sc_display* display) { platform::release(from_handle(display)); }

sc_window* sc_window_retain(sc_window* window) {
    return handle_cast<sc_window>(platform::retain(from_handle(window)));
}

void sc_window_release(sc_window* window) { platform::release(from_handle(window)); }

sc_running_application* sc_running_application_retain(sc_running_application* application) {
    return handle_cast<sc_running_application>(platform::retain(from_handle(application)));
}

void sc_running_application_release(sc_running_application* application) {
    platform::release(from_handle(application));
}

}  // extern "C"
