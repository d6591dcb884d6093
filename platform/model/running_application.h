// SCRunningApplication: one application of a shareable-content snapshot.
#pragma once

#include <cstdint>
#include <string>

#include "platform/model/object.h"

namespace platform {

struct ApplicationDescription {
    std::int32_t process_id = 0;
    std::string application_name;
};

class SCRunningApplication final : public Object {
public:
    explicit SCRunningApplication(ApplicationDescription description);

    std::int32_t processID() const noexcept { return description_.process_id; }

private:
    ~SCRunningApplication() override = default;
    ApplicationDescription description_;
};

}  // namespace platform
