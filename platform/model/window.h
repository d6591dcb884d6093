// SCWindow: one window of a shareable-content snapshot. Backends that know no windows
// report none; filters accept them all the same.
#pragma once

#include <cstdint>
#include <string>

#include "platform/model/object.h"

namespace platform {

struct WindowDescription {
    std::uint32_t window_id = 0;
    std::string title;
    bool on_screen = true;
    bool desktop = false;  // part of the desktop itself rather than an application
};

class SCWindow final : public Object {
public:
    explicit SCWindow(WindowDescription description);

    std::uint32_t windowID() const noexcept { return description_.window_id; }

private:
    ~SCWindow() override = default;
    WindowDescription description_;
};

}  // namespace platform
