// What a backend answers a content request with: plain descriptions of the displays, windows
// and applications, which the shareable content turns into platform objects.
#pragma once

#include <vector>

#include "platform/model/display.h"
#include "platform/model/running_application.h"
#include "platform/model/window.h"

namespace platform {

struct ContentDescription {
    std::vector<DisplayDescription> displays;  // in the backend's order (default first)
    std::vector<WindowDescription> windows;
    std::vector<ApplicationDescription> applications;
};

}  // namespace platform
