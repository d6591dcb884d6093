// SCRunningApplication: one application of a shareable-content snapshot.
#pragma once

#include <cstdint>
#include <string>

#include "platform/model/object.h"

namespace platform {

struct ApplicationDescription {
    std::int32_t process_id = 0;
    std::string bundle_identifier;
    std::string application_name;
};

class SCRunningApplication final : public Object {
public:
    explicit SCRunningApplication(ApplicationDescription description);

    std::int32_t processID() const noexcept { return description_.process_id; }
    const std::string& bundleIdentifier() const noexcept { return description_.bundle_identifier; }
    const std::string& applicationName() const noexcept { return description_.application_name; }

private:
    ~SCRunningApplication() override = default;
    ApplicationDescription description_;
};

}  // namespace platform
