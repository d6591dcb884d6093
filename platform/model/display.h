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
    std::string name;    // human-readable
    std::int64_t width = 1920;
    std::int64_t height = 1080;
};

class SCDisplay final : public Object {
public:
    explicit SCDisplay(DisplayDescription description);

    std::uint32_t displayID() const noexcept { return description_.display_id; }
    std::int64_t width() const noexcept { return description_.width; }
    std::int64_t height() const noexcept { return description_.height; }
    const std::string& source() const noexcept { return description_.source; }
    const std::string& name() const noexcept { return description_.name; }

private:
    ~SCDisplay() override = default;
    DisplayDescription description_;
};

}  // namespace platform
