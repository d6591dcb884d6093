// The shareable-content snapshot and its displays, windows and applications.
#pragma once

#include <expected>
#include <vector>

#include "capture/bridge/bridge.h"
#include "capture/error.h"
#include "capture/owned_handle.h"

namespace capture {

// One display reference; copies take their own reference.
class SCDisplay {
public:
    // Takes over the reference `adopted` carries.
    explicit SCDisplay(sc_display* adopted) : handle_(adopted) {}
    sc_display* raw() const { return handle_.get(); }

private:
    OwnedHandle<sc_display, sc_display_release, sc_display_retain> handle_;
};

// One window reference; copies take their own reference.
class SCWindow {
public:
    explicit SCWindow(sc_window* adopted) : handle_(adopted) {}
    sc_window* raw() const { return handle_.get(); }

private:
    OwnedHandle<sc_window, sc_window_release, sc_window_retain> handle_;
};

// One running-application reference; copies take their own reference.
class SCRunningApplication {
public:
    explicit SCRunningApplication(sc_running_application* adopted) : handle_(adopted) {}
    sc_running_application* raw() const { return handle_.get(); }

private:
    OwnedHandle<sc_running_application, sc_running_application_release,
                sc_running_application_retain>
        handle_;
};

// A snapshot of what may be captured.
class SCShareableContent {
public:
    // Asks the platform (desktop windows included, not only on-screen windows) and blocks
    // until it answers. A refusal gives NoShareableContent with the platform's text.
    static std::expected<SCShareableContent, SCError> get();

    explicit SCShareableContent(sc_shareable_content* adopted) : handle_(adopted) {}

    // The snapshot's displays in the platform's order, each with its own reference. Indices
    // the bridge answers with null are skipped.
    std::vector<SCDisplay> displays() const;

    sc_shareable_content* raw() const { return handle_.get(); }

private:
    OwnedHandle<sc_shareable_content, sc_shareable_content_release> handle_;
};

// The bridge's C completion for the content request; public so the completion path can be
// driven directly.
void shareable_content_callback(sc_shareable_content* content, const char* error,
                                void* user_data) noexcept;

}  // namespace capture
