// SCDisplay: one display of a shareable-content snapshot. Here a display stands for one
// audio output of the backend; source() names it for the backend (e.g. a sink name).
#pragma once

#include <cstdint>
#include <string>

#include "platform/model/object.h"

namespace platform {

struct DisplayDescription {
    std::uint32_t display_id = 0;
    std::string source;  // the backend's identity for what this display records
};

class SCDisplay final : public Object {
public:
    explicit SCDisplay(DisplayDescription description);

    std::uint32_t displayID() const noexcept { return description_.display_id; }
    const std::string& source() const noexcept { return description_.source; }

private:
    ~SCDisplay() override = default;
    DisplayDescription description_;
};

}  // namespace platform
